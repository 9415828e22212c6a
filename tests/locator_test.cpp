// The locator on hand-made inputs and real images: the trailer search at every
// block edge with each filter set, the PE rules and their extremes.
#include <algorithm>
#include <cstring>
#include <optional>
#include <random>

#include "locator.h"
#include "locator_model.h"
#include "pe_extremes.h"
#include "support.h"

namespace {

// Runs the locator over `data` written to a file.
class LocatorTest : public ScratchDirTest {
protected:
    // The payload found, {0, 0} for nothing; a read never fails here.
    PayloadLocation locate(const Bytes& data, uint32_t block = TRAILER_BLOCK_SIZE) {
        ScopedHandle input(write_and_open(data, path("input").string().c_str()));
        EXPECT_TRUE(input.valid());
        LocateResult found = locate_payload(input.get(), block);
        EXPECT_NE(found.kind, LocateResult::READ_FAILED);
        return found.kind == LocateResult::FOUND ? found.value : PayloadLocation{0, 0};
    }
    // The trailer search alone: its position and back offset, if found.
    std::optional<std::pair<uint32_t, int32_t>> trailer_of(const Bytes& data, uint32_t block) {
        ScopedHandle input(write_and_open(data, path("input").string().c_str()));
        InputReader reader(input.get());
        TrailerFound found = find_trailer(reader, static_cast<uint32_t>(data.size()), block);
        EXPECT_NE(found.kind, TrailerFound::READ_FAILED);
        if (found.kind != TrailerFound::FOUND) return std::nullopt;
        return std::pair{found.value.position, found.value.back};
    }
};

void expect_location(PayloadLocation actual, uint32_t offset, uint32_t length) {
    EXPECT_EQ(actual.offset, offset);
    EXPECT_EQ(actual.length, length);
}

// The trailer search's tests run with every filter set the CPU can execute.
class TrailerSearchTest : public LocatorTest, public EachFilterSet {};
INSTANTIATE_TEST_SUITE_P(EveryFilterSet, TrailerSearchTest, every_filter_set(), filter_set_name);
class FindLastMagic : public ::testing::Test, public EachFilterSet {};
INSTANTIATE_TEST_SUITE_P(EveryFilterSet, FindLastMagic, every_filter_set(), filter_set_name);

TEST_P(TrailerSearchTest, TrailerCases) {
    struct Case {
        const char* what;
        Bytes data;
        uint32_t offset, length;
    };
    Bytes payload = pattern_bytes(100, 1);
    Bytes image = make_pe({.sections = {{0x200, 0x100}}, .file_size = 0x300});
    auto then = [](Bytes a, const Bytes& b) { return concat(a, b); };
    const Case cases[] = {
        {"payload just before a trailer at the end", then(then(pattern_bytes(50, 2), payload), trailer(-100)), 50, 100},
        {"the highest trailer wins",
         then(then(then(pattern_bytes(40, 3), trailer(-8)), pattern_bytes(30, 4)), trailer(-30)), 48, 30},
        {"back offset 0: from the trailer to the end", then(pattern_bytes(40, 5), trailer(0)), 40, 8},
        {"a positive back offset: from there to the end", then(then(pattern_bytes(10, 6), trailer(20)), pattern_bytes(40, 7)), 30, 28},
        {"a payload that would start before the file is passed over",
         then(then(then(pattern_bytes(30, 8), trailer(-20)), pattern_bytes(20, 9)), trailer(-100)), 10, 20},
        {"so is one whose start lies past the end, for a lower trailer",
         then(then(then(pattern_bytes(30, 8), trailer(-20)), pattern_bytes(20, 9)), trailer(INT32_MAX)), 10, 20},
        {"a stray magic with a start 2 GiB away leaves the PE rule",
         then(then(image, trailer(INT32_MIN)), pattern_bytes(20, 10)), 0x300, 28},
        {"nor one that would start at the file's end",
         then(then(then(pattern_bytes(30, 8), trailer(-20)), pattern_bytes(20, 9)), trailer(8)), 10, 20},
        {"a trailer alone in an 8-byte file would start before it", trailer(-1), 0, 0},
        {"an 8-byte file that is its own trailer and payload", trailer(4), 4, 4},
        {"magic in the last 7 bytes is never examined", then(pattern_bytes(20, 6), ByteBuilder().text("PSER").zeros(3).data()), 0, 0},
        {"payload that would start at 0 is nothing", then(pattern_bytes(20, 7), trailer(-20)), 0, 0},
        {"and stops the search: the PE rule is not tried", then(image, trailer(-static_cast<int32_t>(image.size()))), 0, 0},
        {"fewer than 8 bytes", ByteBuilder().text("PSER").zeros(2).data(), 0, 0},
        {"empty file", Bytes{}, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        expect_location(locate(c.data), c.offset, c.length);
    }
}

// The block search must give exactly what the position-by-position rule
// gives, in small files and around every block edge, with the shipped
// block size and with small blocks that small files cross many times.
TEST_P(TrailerSearchTest, BlockSearchMatchesPlainModel) {
    std::mt19937 random(42);
    const int32_t backs[] = {0, -1, 1, -7, 100, -100, INT32_MIN, INT32_MAX};
    auto check = [&](const Bytes& data, uint32_t block) {
        uint32_t position = 0;
        int32_t back = 0;
        std::optional<std::pair<uint32_t, int32_t>> expected;
        if (model_trailer(data, &position, &back)) expected = std::pair{position, back};
        ASSERT_EQ(trailer_of(data, block), expected) << "size " << data.size() << ", blocks of " << block;
    };
    auto with_magic = [&](Bytes data, size_t at, int32_t back) {
        Bytes t = trailer(back);
        for (size_t i = 0; i < t.size() && at + i < data.size(); ++i) data[at + i] = t[i];
        return data;
    };
    // Files of up to five 16-byte blocks, with a trailer at every position.
    for (size_t size = 0; size <= 60; ++size)
        for (size_t at = 0; at < size; ++at) {
            int32_t back = backs[(size + at) % std::size(backs)];
            for (uint32_t block : {16u, TRAILER_BLOCK_SIZE}) check(with_magic(pattern_bytes(size, 9), at, back), block);
        }

    for (uint32_t block : {TRAILER_BLOCK_SIZE, 1000u}) {
        for (size_t size : {block - 1, block, block + 1, block + 7, block + 8, block + TRAILER_FILTER_CHUNK + 1,
                            2 * block - 7, 2 * block + 3, 3 * block - 14}) {
            Bytes base = pattern_bytes(size, static_cast<unsigned>(size));
            check(base, block);
            // Every position near each block edge, counted from the end.
            for (size_t edge = block; edge < size + block; edge += block - 7) {
                for (size_t d = 0; d < 20; ++d) {
                    size_t end_distance = edge + 10 - d;
                    if (end_distance > size) continue;
                    size_t at = size - end_distance;
                    int32_t back = backs[random() % std::size(backs)];
                    check(with_magic(base, at, back), block);
                    // A second, lower occurrence must not win over it.
                    if (at > 40) check(with_magic(with_magic(base, at, back), at - 33, -1), block);
                }
            }
        }
    }
}

#if defined(__x86_64__)
// Whether the first "flags" line of /proc/cpuinfo names `flag`; nothing
// where there is no such file (a Mac, Windows).
std::optional<bool> cpuinfo_flag(const std::string& flag) {
    Bytes info = read_file("/proc/cpuinfo");
    std::string text(info.begin(), info.end());
    size_t line = text.find("\nflags");
    if (line == std::string::npos) return std::nullopt;
    std::string flags = text.substr(line, text.find('\n', line + 1) - line) + " ";
    return flags.find(" " + flag + " ") != std::string::npos;
}
#endif

// The portable set always, and a run takes the widest the CPU executes.
TEST(TrailerFilterSets, ARunTakesTheWidestTheCpuExecutes) {
    std::span<const TrailerFilters* const> sets = runnable_trailer_filters();
    ASSERT_FALSE(sets.empty());
    EXPECT_STREQ(sets.front()->name, "portable");
    EXPECT_EQ(&trailer_filters(), sets.back());
#if defined(__x86_64__)
    // The processor's own answer agrees with the system's (an emulator of
    // another processor shows the build machine's flags: x86-64 builds only).
    std::optional<bool> avx2 = cpuinfo_flag("avx2");
    if (!avx2) GTEST_SKIP() << "no /proc/cpuinfo to compare the CPU's answer with";
    EXPECT_STREQ(sets.back()->name, *avx2 ? "avx2" : "portable");
#endif
}

// The highest position p <= size - 8 holding "PSER", one position at a time,
// byte by byte: a call of memcmp at each position made this model most of
// the unit tests' time, the more so under sanitizers and emulators.
int64_t model_last_magic(const unsigned char* data, size_t size) {
    for (size_t p = size < 8 ? 0 : size - 7; p-- > 0;)
        if (data[p] == 'P' && data[p + 1] == 'S' && data[p + 2] == 'E' && data[p + 3] == 'R') return static_cast<int64_t>(p);
    return -1;
}

// The in-block search filters whole chunks and then smaller pieces by the
// pair at each even offset; it must agree with the plain rule at every chunk
// and piece edge, for both parities of the magic, on buffers at any address.
TEST_P(FindLastMagic, MatchesPlainRuleAtEveryEdge) {
    const size_t chunk = TRAILER_FILTER_CHUNK;
    const size_t most = 3 * chunk + 40;
    // Near misses that pass the filter ("PS" and "SE" on both parities), or
    // nothing that does.
    Bytes near_misses(most + 3), quiet(most + 3, 'x');
    for (size_t i = 0; i < near_misses.size(); ++i) near_misses[i] = "xPSEyPSEz"[i % 9];
    Bytes storage(most + 3);
    std::vector<bool> reported(most + 1);  // the positions the search answered with
    size_t largest = 0;
    for (const Bytes* background : {&near_misses, &quiet}) {
        for (size_t shift : {0, 1, 3}) {
            unsigned char* data = storage.data() + shift;
            for (size_t size = 0; size <= most; size += (size < 2 * chunk + 20 ? 1 : 7)) {
                largest = std::max(largest, size);
                std::memcpy(data, background->data(), size);
                ASSERT_EQ(find_last_magic(data, static_cast<uint32_t>(size)), model_last_magic(data, size)) << size;
                // The magic alone at each position, and twice: the higher one wins.
                for (size_t at = 0; at + 4 <= size; at += (shift == 0 ? 1 : 5)) {
                    std::memcpy(data, background->data(), size);
                    std::memcpy(data + at, "PSER", 4);
                    int64_t answer = find_last_magic(data, static_cast<uint32_t>(size));
                    ASSERT_EQ(answer, model_last_magic(data, size))
                        << "size " << size << " at " << at << " shift " << shift;
                    if (answer >= 0) reported[static_cast<size_t>(answer)] = true;
                    if (at >= 37) std::memcpy(data + at - 37, "PSER", 4);
                    ASSERT_EQ(find_last_magic(data, static_cast<uint32_t>(size)), model_last_magic(data, size))
                        << "size " << size << " at " << at << " and " << at - 37;
                }
            }
        }
    }
    // The magic was found at every place it can take in the largest buffer.
    for (size_t p = 0; p + TRAILER_SIZE <= largest; ++p) EXPECT_TRUE(reported[p]) << p;
}

// Dense random text over the magic's own letters: many overlapping partial
// and whole occurrences in one buffer.
TEST_P(FindLastMagic, MatchesPlainRuleOnDenseText) {
    std::mt19937 random(7);
    for (int round = 0; round < 3000; ++round) {
        size_t size = random() % (2 * TRAILER_FILTER_CHUNK + 64);
        Bytes data(size + 1);
        // Mostly letters that almost form the magic; rarely its last letter.
        for (auto& byte : data) byte = random() % 40 == 0 ? 'R' : "PSEx"[random() % 4];
        unsigned char* at = data.data() + 1;
        ASSERT_EQ(find_last_magic(at, static_cast<uint32_t>(size)), model_last_magic(at, size)) << round;
    }
}

// Both filters answer exactly what their contract says, by plain scans of
// the same bytes. A looser one would only slow the search down, which no
// search result shows.
TEST_P(FindLastMagic, FiltersAnswerAsPlainScans) {
    const TrailerFilters& filters = *GetParam();
    const int64_t chunk = TRAILER_FILTER_CHUNK, piece = TRAILER_FILTER_PIECE, chunks = 3;
    auto hinted = [&](const unsigned char* data, int64_t below) {
        for (int64_t pair = below * chunk - 2; pair >= 0; pair -= 2)
            if (!std::memcmp(data + pair, "PS", 2) || !std::memcmp(data + pair, "SE", 2)) return pair / chunk;
        return int64_t{-1};
    };
    for (const char* background : {"x", "xPSEyPSEz"}) {
        auto fill = [&](Bytes& bytes) {
            for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = background[i % std::strlen(background)];
        };
        // The magic from 3 bytes before a chunk to a piece past its end.
        Bytes around(chunk + 2 * piece + 8);
        unsigned char* first = around.data() + piece;
        for (int64_t at = -3; at < chunk + piece; ++at) {
            fill(around);
            std::memcpy(first + at, "PSER", 4);
            uint32_t pieces = 0;
            for (int64_t p = 0; p < chunk; ++p)
                if (!std::memcmp(first + p, "PSER", 4)) pieces |= 1u << (p / piece);
            ASSERT_EQ(filters.pieces_holding_magic(first), pieces) << background << " at " << at;
        }
        Bytes data(chunks * chunk + 1);
        for (const char* pair : {"PS", "SE"}) {
            for (int64_t at = 0; at + 2 <= chunks * chunk; ++at) {
                fill(data);
                std::memcpy(data.data() + at, pair, 2);
                for (int64_t below = 0; below <= chunks; ++below)
                    ASSERT_EQ(filters.last_hinted_chunk(data.data(), below), hinted(data.data(), below))
                        << background << " " << pair << " at " << at << " below " << below;
            }
        }
    }
}

// The locator and its plain model give the rules' answer on every image of
// the table.
TEST_F(LocatorTest, PeHeadersAtTheirExtremes) {
    for (const PeExtreme& row : pe_extremes()) {
        SCOPED_TRACE(row.what);
        Bytes image = pe_extreme_image(row);
        uint32_t length = row.offset ? static_cast<uint32_t>(image.size()) - row.offset : 0;
        expect_location(locate(image), row.offset, length);
        expect_location(model_locate(image), row.offset, length);
    }
}

// Images whose sections end before the file's end, but for one field.
TEST_F(LocatorTest, NotAnImage) {
    ByteBuilder no_signature;
    no_signature.text("MZ").put32(60, 0x40).put32(0x40, 0x00004551).fill_to(0x400);
    const Bytes image = make_pe({.sections = {{0x200, 0x100}}, .file_size = 0x400});
    ByteBuilder no_optional_header, no_dos_magic;
    no_optional_header.bytes(image).put16(0x80 + 20, 0);
    no_dos_magic.bytes(image).put16(0, 0x4D5A);  // "ZM"
    const Bytes inputs[] = {ByteBuilder().text("MZ").put32(60, 0x10000).fill_to(0x400).data(), no_signature.data(),
                            no_optional_header.data(), ByteBuilder().text("MZ").zeros(40).data(), no_dos_magic.data()};
    for (const auto& input : inputs) expect_location(locate(input), 0, 0);
}

// The certificate table and the COFF symbol and string tables that start
// where the sections end (0x300 here) are passed over; one that starts
// later ends the payload.
TEST_F(LocatorTest, StructuresAfterTheSections) {
    struct Case {
        const char* what;
        uint32_t cert_start, cert_size;
        uint32_t directories;  // NumberOfRvaAndSizes
        uint32_t symbols_at, symbols, strings_size;
        uint32_t offset, length;  // in a file of 0x600 bytes
        // Set: the optional header ends this many bytes past the certificate
        // table's entry, which lies inside it when the count is at least 0.
        std::optional<int> header_past_entry = std::nullopt;
        uint32_t stray_byte_at = 0;  // set: a byte of 1 there
    };
    const Case cases[] = {
        {"payload between sections and signature", 0x500, 0x100, 16, 0, 0, 0, 0x300, 0x200},
        {"signature alone after the sections", 0x300, 0x300, 16, 0, 0, 0, 0, 0},
        {"payload after the signature", 0x300, 0x100, 16, 0, 0, 0, 0x400, 0x200},
        {"signature after 7 zero bytes of alignment", 0x307, 0x100, 16, 0, 0, 0, 0x407, 0x1F9},
        {"8 bytes before the signature are payload", 0x308, 0x100, 16, 0, 0, 0, 0x300, 8},
        {"so are fewer that are not all zero", 0x304, 0x100, 16, 0, 0, 0, 0x300, 4, std::nullopt, 0x302},
        {"a table that does not close the file ends the payload", 0x500, 0x80, 16, 0, 0, 0, 0x300, 0x200},
        {"a table inside the sections is ignored", 0x200, 0x400, 16, 0, 0, 0, 0x300, 0x300},
        {"an empty table is none", 0x400, 0, 16, 0, 0, 0, 0x300, 0x300},
        {"5 directories hold the certificate table", 0x300, 0x100, 5, 0, 0, 0, 0x400, 0x200},
        {"4 directories do not", 0x300, 0x100, 4, 0, 0, 0, 0x300, 0x300},
        {"an optional header that ends with the entry holds it", 0x300, 0x100, 16, 0, 0, 0, 0x400, 0x200, 0},
        {"one a byte shorter does not", 0x300, 0x100, 16, 0, 0, 0, 0x300, 0x300, -1},
        {"symbols and strings, then the payload", 0, 0, 16, 0x300, 2, 10, 0x32E, 0x2D2},
        {"no symbols: no symbol tables", 0, 0, 16, 0x300, 0, 10, 0x300, 0x300},
        {"a string table's size below 4 counts as 4", 0, 0, 16, 0x300, 2, 0, 0x328, 0x2D8},
        {"symbols alone after the sections", 0, 0, 16, 0x300, 0x22, 0x9C, 0, 0},
        {"symbols after a gap end the payload", 0, 0, 16, 0x400, 2, 10, 0x300, 0x100},
        {"symbols, then a signature, then the payload", 0x330, 0x50, 16, 0x300, 2, 12, 0x380, 0x280},
        {"a signature, then symbols, then the payload", 0x300, 0x40, 16, 0x340, 1, 4, 0x356, 0x2AA},
        {"a signature inside the symbol tables: nothing", 0x310, 0x40, 16, 0x300, 2, 10, 0, 0},
        {"a string table said to start 2 GiB on", 0, 0, 16, 0x7FFFFFEE, 1, 0, 0x300, 0x300},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        for (bool pe32plus : {false, true}) {
            // The entry ends 40 bytes past NumberOfRvaAndSizes's end.
            uint16_t entry_end = pe32plus ? 112 + 40 : 96 + 40;
            PeShape shape{.pe32plus = pe32plus,
                          .optional_size = static_cast<uint16_t>(c.header_past_entry ? entry_end + *c.header_past_entry : 0),
                          .sections = {{0x200, 0x100}}, .directories = c.directories,
                          .certificate_start = c.cert_start, .certificate_size = c.cert_size,
                          .symbol_table = c.symbols_at, .symbol_count = c.symbols, .file_size = 0x600};
            ByteBuilder image;
            image.bytes(make_pe(shape));
            if (c.symbols_at && c.symbols_at < 0x600) image.put32(c.symbols_at + 18 * c.symbols, c.strings_size);
            if (c.stray_byte_at) image.put16(c.stray_byte_at, 1);
            expect_location(locate(image.data()), c.offset, c.length);
        }
    }
}

// Images from a real compiler, signer and installer maker; make-fixtures.sh
// made them.
TEST_F(LocatorTest, RealImages) {
    Bytes torrent = read_file(fixture("sample.torrent"));
    ASSERT_FALSE(torrent.empty());
    auto size = [](const Bytes& b) { return static_cast<uint32_t>(b.size()); };
    const uint32_t image_end = 14848;  // the last section's end, as objdump -h shows it
    for (const char* name : {"hello32.exe", "hello64.exe"}) {
        SCOPED_TRACE(name);
        Bytes image = read_file(fixture(name));
        ASSERT_EQ(image.size(), image_end);
        expect_location(locate(concat(image, torrent)), image_end, size(torrent));
        expect_location(locate(image), 0, 0);
    }
    // The signer pads the payload to 8 bytes before its table.
    Bytes signed_payload = read_file(fixture("signed64-payload.exe"));
    expect_location(locate(signed_payload), image_end, (size(torrent) + 7) & ~7u);
    Bytes signed_only = read_file(fixture("signed64.exe"));
    expect_location(locate(signed_only), 0, 0);
    expect_location(locate(concat(signed_only, torrent)), size(signed_only), size(torrent));
    Bytes unstripped = read_file(fixture("hello64-unstripped.exe"));
    expect_location(locate(unstripped), 0, 0);
    expect_location(locate(concat(unstripped, torrent)), size(unstripped), size(torrent));
}

}  // namespace
