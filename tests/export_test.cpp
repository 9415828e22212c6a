#include <chrono>
#include <filesystem>
#include <future>
#include <numeric>
#include <optional>

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

// A hold within another, as a save inside a larger step would take one,
// must not let interruptions through when it ends, nor keep them out when
// the outer one ends.
TEST(InterruptionsHeld, OnlyTheOutermostEndLetsThemThrough) {
    std::optional<InterruptionsHeld> outer(std::in_place);
    { InterruptionsHeld inner; }
#ifdef _WIN32
    // The console handler's thread waits for the hold, as any other does.
    auto other = std::async(std::launch::async, [] { InterruptionsHeld held; });
    EXPECT_EQ(other.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout);
    outer.reset();
    EXPECT_EQ(other.wait_for(std::chrono::seconds(60)), std::future_status::ready);
#else
    auto blocked = [] {
        sigset_t mask;
        sigprocmask(SIG_BLOCK, nullptr, &mask);
        return sigismember(&mask, SIGINT) == 1 && sigismember(&mask, SIGTERM) == 1;
    };
    EXPECT_TRUE(blocked());
    outer.reset();
    EXPECT_FALSE(blocked());
#endif
}

// A file held for a moment is tried again in pauses that start at the
// first, grow to the longest and add up to the budget; another failure
// ends it at once. Either way the caller sees the last failure's code.
TEST(RetryWhileHeld, GrowingPausesWithinTheBudget) {
    static std::vector<DWORD> pauses;
    const PlatformCalls real = sys;
    sys.Sleep = [](DWORD ms) { pauses.push_back(ms); };
    constexpr DWORD HELD = 0x2000D17E, OTHER = HELD + 1;
    const struct {
        int held_failures;  // before the attempt that ends it
        bool then_succeeds;
        size_t pauses;  // 0 for "until the budget is spent"
    } cases[] = {{0, true, 0}, {2, true, 2}, {0, false, 0}, {1, false, 1}, {1000, false, 0}};
    for (const auto& c : cases) {
        pauses.clear();
        int attempts = 0;
        bool ok = retry_while([](DWORD err) { return err == HELD; }, [&] {
            SetLastError(++attempts <= c.held_failures ? HELD : OTHER);
            return attempts > c.held_failures && c.then_succeeds;
        });
        EXPECT_EQ(ok, c.then_succeeds);
        if (!ok) {
            EXPECT_EQ(GetLastError(), attempts > c.held_failures ? OTHER : HELD);
        }
        EXPECT_EQ(static_cast<size_t>(attempts), pauses.size() + 1);
        if (c.held_failures < 1000) {
            EXPECT_EQ(pauses.size(), c.pauses);
        } else {
            EXPECT_EQ(std::accumulate(pauses.begin(), pauses.end(), DWORD{0}), SHARING_RETRY_BUDGET_MS);
            EXPECT_EQ(*std::max_element(pauses.begin(), pauses.end()), SHARING_RETRY_LONGEST_MS);
        }
        // They double from the first up to the longest; the budget may cut the last short.
        DWORD expected = SHARING_RETRY_FIRST_MS;
        for (size_t i = 0; i < pauses.size(); ++i, expected = std::min(2 * expected, SHARING_RETRY_LONGEST_MS)) {
            if (c.held_failures < 1000 || i + 1 < pauses.size()) {
                EXPECT_EQ(pauses[i], expected) << i;
            }
        }
    }
    sys = real;
}

}  // namespace
