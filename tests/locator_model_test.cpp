// The locator against the plain model of its rules (tests/fuzz), over real
// images with their header fields pushed to extremes, and over every input
// the fuzzer ever found a fault with (tests/fuzz/regressions).
#include <filesystem>
#include <random>

#include "locator_model.h"
#include "support.h"

namespace {

namespace fs = std::filesystem;

// With every filter set of the trailer search that the CPU can execute.
class LocatorModelTest : public ScratchDirTest, public EachFilterSet {
protected:
    // The locator, with the shipped block size and, unless `blocks` says
    // otherwise, a small one, and the torrent check on what it found,
    // against the model.
    void expect_same(const Bytes& data, const std::string& what,
                     std::initializer_list<uint32_t> blocks = {TRAILER_BLOCK_SIZE, 40u}) {
        ScopedHandle input(write_and_open(data, path("input").string().c_str()));
        ASSERT_TRUE(input.valid()) << what;
        PayloadLocation expected = model_locate(data);
        for (uint32_t block : blocks) {
            LocateResult actual = locate_payload(input.get(), block);
            ASSERT_NE(actual.kind, LocateResult::READ_FAILED) << what;
            EXPECT_EQ(actual.kind == LocateResult::FOUND ? actual.value.offset : 0, expected.offset) << what;
            EXPECT_EQ(actual.kind == LocateResult::FOUND ? actual.value.length : 0, expected.length) << what;
        }
        if (expected.offset == 0) return;
        TorrentCheck check = check_torrent(input.get(), expected);
        TorrentCheck model = model_check(data, expected.offset, expected.length);
        EXPECT_EQ(check.kind, model.kind) << what;
        EXPECT_EQ(check.length, model.length) << what;
        if (check.kind == TorrentCheck::FOUND) {
            EXPECT_EQ(check.info.offset, model.info.offset) << what;
        }
    }
};

void put16(Bytes& d, size_t at, uint32_t v) {
    if (at + 2 > d.size()) return;
    d[at] = static_cast<unsigned char>(v);
    d[at + 1] = static_cast<unsigned char>(v >> 8);
}

void put32(Bytes& d, size_t at, uint32_t v) {
    if (at + 4 > d.size()) return;
    for (int i = 0; i < 4; ++i) d[at + i] = static_cast<unsigned char>(v >> (8 * i));
}

uint32_t get32(const Bytes& d, size_t at) {
    return d[at] | d[at + 1] << 8 | d[at + 2] << 16 | uint32_t{d[at + 3]} << 24;
}

INSTANTIATE_TEST_SUITE_P(EveryFilterSet, LocatorModelTest, every_filter_set(), filter_set_name);

TEST_P(LocatorModelTest, HeaderFieldsAtTheirExtremes) {
    Bytes torrent = read_file(fixture("sample.torrent"));
    std::vector<Bytes> seeds = {read_file(fixture("hello32.exe")), read_file(fixture("hello64.exe")),
                                read_file(fixture("signed64.exe")), read_file(fixture("signed64-payload.exe")),
                                read_file(fixture("hello64-unstripped.exe"))};
    for (size_t i : {0, 1, 2, 4}) seeds.push_back(concat(seeds[i], torrent));
    for (const auto& seed : seeds) ASSERT_GT(seed.size(), 0x200u);

    std::mt19937 random(2024);
    auto pick = [&](std::initializer_list<uint32_t> values) { return *(values.begin() + random() % values.size()); };
    for (int round = 0; round < 1500; ++round) {
        Bytes d = seeds[random() % seeds.size()];
        uint32_t size = static_cast<uint32_t>(d.size());
        uint32_t lfanew = get32(d, 60);
        // One to four fields pushed to an edge, the rest left as the compiler wrote them.
        for (int changes = 1 + random() % 4; changes > 0; --changes) {
            uint32_t nt = get32(d, 60);
            bool pe32plus = nt < size - 26 && (d[nt + 24] | d[nt + 25] << 8) == 0x20B;
            size_t table = nt + 24 + (nt < size - 22 ? (d[nt + 20] | d[nt + 21] << 8) : 0);
            size_t section = table + 40 * (random() % 6);
            size_t directory = nt + 24 + (pe32plus ? 112 : 96) + 4 * 8;
            switch (random() % 10) {
            case 0: put32(d, 60, pick({0x80000000u, 0xFFFFFFFFu, 0, 64, size - 248, size - 247, size, 0x7FFFFFFF, lfanew + 16})); break;
            case 1: put16(d, nt + 6, pick({0, 1, 2, 0xFFFF, 0x100})); break;
            case 2: put16(d, nt + 20, pick({0, 1, 0xE0, 0xF0, 0xF8, 0x88, 0x98, 0xFFFF})); break;
            case 3: put16(d, nt + 24, pick({0x10B, 0x20B, 0x107, 0})); break;
            case 4: put32(d, section + 16, pick({0, 1, 0x7FFFFFFF, 0x80000000u, 0xFFFFFFFFu, 0xFFFFF000u, size})); break;
            case 5: put32(d, section + 20, pick({0, 1, 0x7FFFFFFF, 0x80000000u, 0xFFFFFFFFu, 0xFFFFFE00u, size})); break;
            case 6: put32(d, directory, pick({0, size - 8, size, 0x3A00, 0xFFFFFFFFu, 0x80000000u})); break;
            case 7: put32(d, directory + 4, pick({0, 8, 0xFFFFFFFFu, size - 0x3A00, 0x80000000u})); break;
            case 8: put32(d, nt + 12, pick({0, 0x3A00, 0x3A01, size - 4, size, 0xFFFFFFFFu, 0x80000000u})); break;
            case 9: put32(d, nt + 16, pick({0, 1, 0x10, 0xFFFFFFFFu, 0x0E38E38Eu, size / 18})); break;
            }
        }
        if (random() % 4 == 0) d.resize(random() % d.size());  // cut anywhere
        // The headers are what changes here; how the trailer search crosses
        // the edges of small blocks is BlockSearchMatchesPlainModel's.
        expect_same(d, "round " + std::to_string(round), {TRAILER_BLOCK_SIZE});
        if (HasFailure()) return;
    }
}

// Every input the fuzzer ever found a fault with, and the images it starts from.
TEST_P(LocatorModelTest, FuzzerFindingsAndSeeds) {
    size_t replayed = 0;
    for (const fs::path& dir : {given_path("DL2TORRENT_FUZZ_REGRESSIONS", "fuzz/regressions"), fixture("")}) {
        for (const auto& entry : fs::directory_iterator(dir)) {
            if (!entry.is_regular_file() || entry.path().extension() == ".md" || entry.path().extension() == ".c" ||
                entry.path().extension() == ".sh")
                continue;
            expect_same(read_file(entry.path()), entry.path().filename().string());
            ++replayed;
        }
    }
    EXPECT_GE(replayed, 5u);
}

}  // namespace
