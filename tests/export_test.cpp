// The save on its own: exactly the stretch asked, and nothing lost when it fails.
#include <algorithm>
#include <filesystem>

#include "export.h"
#include "platform_expect.h"
#include "support.h"

namespace {

namespace fs = std::filesystem;

class SaveTest : public ScratchDirTest {
protected:
    void SetUp() override {
        ScratchDirTest::SetUp();
        input_bytes_ = pattern_bytes(3 * COPY_CHUNK_SIZE, 11);
        write_file(path("input.exe"), input_bytes_);
    }
    // Saves [offset, offset + length) of the input to `output`.
    bool save(const fs::path& output, uint32_t offset, uint32_t length, DWORD* error) {
        ScopedHandle input(CreateFileA(path("input.exe").string().c_str(), GENERIC_READ,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                       FILE_ATTRIBUTE_ARCHIVE, nullptr));
        EXPECT_TRUE(input.valid());
        return save_payload(input.get(), output.string().c_str(), {offset, length}, error);
    }
    Bytes slice(size_t offset, size_t length) const {
        return Bytes(input_bytes_.begin() + offset, input_bytes_.begin() + offset + length);
    }
    Bytes input_bytes_;
};

TEST_F(SaveTest, CopiesExactlyTheStretchAsked) {
    const struct {
        const char* what;
        uint32_t offset, length;
        size_t expected_length;
    } cases[] = {
        {"two full chunks and 100 bytes", 50, 2 * COPY_CHUNK_SIZE + 100, 2 * COPY_CHUNK_SIZE + 100},
        {"less than a chunk", 7, 9, 9},
        {"a chunk and a single byte", 3, COPY_CHUNK_SIZE + 1, COPY_CHUNK_SIZE + 1},
        {"up to the input's end", 3 * COPY_CHUNK_SIZE - 10, 10, 10},
        {"length 0 makes an empty file", 100, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        DWORD error = 12345;
        ASSERT_TRUE(save(path("out.torrent"), c.offset, c.length, &error));
        size_t start = std::min<size_t>(c.offset, input_bytes_.size());
        EXPECT_EQ(read_file(path("out.torrent")), slice(start, c.expected_length));
        EXPECT_EQ(listing(), (std::vector<std::string>{"input.exe", "out.torrent"}));
    }
}

// Every failure leaves what was there before, and no temporary file.
TEST_F(SaveTest, FailuresLoseNothing) {
    fs::create_directory(path("out-dir.torrent"));
    write_file(path("out-dir.torrent/inside"), std::string("inside"));
    write_file(path("existing.torrent"), std::string("old"));
    const struct {
        const char* what;
        const char* output;
        uint32_t offset;
        DWORD error;
    } cases[] = {
        {"the output name is a directory", "out-dir.torrent", 0, PLATFORM.error_is_directory},
        // The input shrank after the torrent was checked.
        {"a stretch past the input's end", "existing.torrent", 3 * COPY_CHUNK_SIZE - 5, ERROR_HANDLE_EOF},
        {"a start beyond any input", "existing.torrent", 0x80000000u, ERROR_HANDLE_EOF},
        {"an output in a missing directory", "missing/out.torrent", 0, PLATFORM.error_no_directory},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        DWORD error = NO_ERROR;
        EXPECT_FALSE(save(path(c.output), c.offset, 10, &error));
        EXPECT_EQ(error, c.error);
        EXPECT_EQ(listing(), (std::vector<std::string>{"existing.torrent", "input.exe", "out-dir.torrent"}));
        EXPECT_EQ(read_file(path("existing.torrent")), Bytes({'o', 'l', 'd'}));
        EXPECT_EQ(listing("out-dir.torrent"), std::vector<std::string>{"inside"});
    }
}

}  // namespace
