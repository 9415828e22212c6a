#include "locator.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "trailer_filters.h"

namespace {

constexpr PayloadLocation NOTHING = {0, 0};

constexpr uint16_t DOS_MAGIC = 0x5A4D;           // "MZ"
constexpr uint32_t NT_SIGNATURE = 0x00004550;    // "PE\0\0"
constexpr uint16_t PE32PLUS_MAGIC = 0x20B;
constexpr DWORD DOS_HEADER_SIZE = 64;
constexpr DWORD LFANEW_FIELD = 60;
// Signature, file header and the optional header of a 32-bit image.
constexpr DWORD NT_HEADERS_SIZE = 248;
constexpr DWORD FILE_HEADER_END = 24;            // where the optional header starts
constexpr DWORD SECTION_HEADER_SIZE = 40;
constexpr DWORD SECTIONS_PER_READ = 64;
constexpr DWORD SECURITY_DIRECTORY = 4;

uint16_t load_le16(const unsigned char* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

uint32_t load_le32(const unsigned char* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// The input as the locator reads it. A call that fails is not the file's
// answer, so its error code is kept for the caller to report, rather than
// being taken for a file too short to hold what was looked for.
struct Source {
    HANDLE handle;
    DWORD error = NO_ERROR;

    // Keeps the error code of the call that just failed; always false.
    bool failed() {
        DWORD err = GetLastError();
        if (error == NO_ERROR) error = err != NO_ERROR ? err : ERROR_READ_FAULT;
        return false;
    }
};

// Reads exactly `count` bytes at `position`; false when the file holds fewer
// there, when the position is beyond a signed 32-bit offset, or on failure.
bool read_at(Source& input, uint64_t position, void* buffer, DWORD count) {
    if (position > INT32_MAX) return false;
    if (sys.SetFilePointer(input.handle, static_cast<LONG>(position), nullptr, FILE_BEGIN) != position)
        return input.failed();
    DWORD got = 0;
    if (!sys.ReadFile(input.handle, buffer, count, &got, nullptr)) return input.failed();
    return got == count;
}

// The input's size, or INVALID_SET_FILE_POINTER when it cannot be had.
DWORD input_size(Source& input) {
    DWORD size = sys.SetFilePointer(input.handle, 0, nullptr, FILE_END);
    if (size == INVALID_SET_FILE_POINTER) input.failed();
    return size;
}

// The magic's first two and middle two bytes as one 16-bit value each, in
// memory order. Every occurrence of the magic puts one of these two pairs on
// an even offset: "PS" when it starts on an even offset, "SE" when on an odd one.
constexpr uint16_t pair_of(char first, char second) {
    uint16_t a = static_cast<unsigned char>(first), b = static_cast<unsigned char>(second);
    return static_cast<uint16_t>(std::endian::native == std::endian::little ? a | b << 8 : a << 8 | b);
}
constexpr uint16_t MAGIC_HEAD = pair_of('P', 'S');
constexpr uint16_t MAGIC_MIDDLE = pair_of('S', 'E');

// The portable filters. Both OR their compares into the lanes of one 16-byte
// row and fold the row only at the end: written so, GCC turns them into
// vector compares on x86-64 (SSE2) and arm64 (NEON), and so does Clang on
// x86-64 at -O2, which a flat loop leaves to chance.
constexpr uint32_t FILTER_LANE_BYTES = 16;

// True when a byte of the row is not zero. Read as two 64-bit words, the
// row folds in a few instructions; folded lane by lane, it takes dozens.
bool any_set(const void* row) {
    static_assert(FILTER_LANE_BYTES == 2 * sizeof(uint64_t));
    uint64_t low, high;
    std::memcpy(&low, row, sizeof low);
    std::memcpy(&high, static_cast<const unsigned char*>(row) + sizeof low, sizeof high);
    return (low | high) != 0;
}

// True when a pair at an even offset of the TRAILER_FILTER_CHUNK bytes at
// `chunk` is "PS" or "SE": a necessary condition for the magic at any
// position from one before the chunk to two before its end.
bool chunk_may_hold_magic(const unsigned char* chunk) {
    constexpr uint32_t LANES = FILTER_LANE_BYTES / 2;
    uint16_t seen[LANES] = {};
    for (uint32_t row = 0; row < TRAILER_FILTER_CHUNK; row += FILTER_LANE_BYTES) {
        for (uint32_t lane = 0; lane < LANES; ++lane) {
            uint16_t pair;
            std::memcpy(&pair, chunk + row + 2 * lane, sizeof pair);
            seen[lane] |= static_cast<uint16_t>(-static_cast<uint16_t>(pair == MAGIC_HEAD) |
                                                -static_cast<uint16_t>(pair == MAGIC_MIDDLE));
        }
    }
    return any_set(seen);
}

// The highest position in [low, high] that holds the magic, compared one by
// one; -1 when there is none.
int64_t last_magic_plain(const unsigned char* data, int64_t low, int64_t high) {
    for (int64_t p = high; p >= low; --p) {
        if (load_le32(data + p) == TRAILER_MAGIC) return p;
    }
    return -1;
}

// All ones when the byte is `expected`, else zero.
unsigned char byte_mask(unsigned char byte, char expected) {
    return static_cast<unsigned char>(-static_cast<unsigned char>(byte == static_cast<unsigned char>(expected)));
}

// True when one of the TRAILER_FILTER_PIECE positions from `first` on holds
// the magic. Reads three bytes past the last of them.
bool piece_holds_magic(const unsigned char* first) {
    unsigned char seen[FILTER_LANE_BYTES] = {};
    for (uint32_t row = 0; row < TRAILER_FILTER_PIECE; row += FILTER_LANE_BYTES) {
        for (uint32_t lane = 0; lane < FILTER_LANE_BYTES; ++lane) {
            const unsigned char* p = first + row + lane;
            seen[lane] |= static_cast<unsigned char>(byte_mask(p[0], 'P') & byte_mask(p[1], 'S') &
                                                     byte_mask(p[2], 'E') & byte_mask(p[3], 'R'));
        }
    }
    return any_set(seen);
}

// See TrailerFilters: the two filters applied over a block and a chunk.
int64_t last_hinted_chunk(const unsigned char* data, int64_t below) {
    while (below-- > 0) {
        if (chunk_may_hold_magic(data + below * TRAILER_FILTER_CHUNK)) return below;
    }
    return -1;
}
uint32_t pieces_holding_magic(const unsigned char* first) {
    uint32_t pieces = 0;
    for (uint32_t k = 0; k < TRAILER_FILTER_CHUNK / TRAILER_FILTER_PIECE; ++k)
        pieces |= uint32_t{piece_holds_magic(first + k * TRAILER_FILTER_PIECE)} << k;
    return pieces;
}

constexpr TrailerFilters PORTABLE_FILTERS = {"portable", FILTER_LANE_BYTES, last_hinted_chunk, pieces_holding_magic};

// Set by tests and the benchmark to run a filter set other than the run's own.
const TrailerFilters* forced_filters = nullptr;

// The highest position up to `high` that holds the magic among those the
// chunk at `start` vouches for; -1 when there is none.
int64_t last_magic_in_chunk(const TrailerFilters& filters, const unsigned char* data, int64_t start, int64_t high) {
    int64_t first = start - 1;
    int64_t last = start + TRAILER_FILTER_CHUNK - 2;
    // A chunk with all its positions in [0, high] has its pieces checked
    // whole first, so that text dense with "PS" and "SE" costs few plain
    // comparisons; at the block's two ends every piece is compared plainly.
    constexpr uint32_t ALL_PIECES = (1u << TRAILER_FILTER_CHUNK / TRAILER_FILTER_PIECE) - 1;
    uint32_t pieces = first >= 0 && last <= high ? filters.pieces_holding_magic(data + first) : ALL_PIECES;
    while (pieces != 0) {
        int top = std::bit_width(pieces) - 1;  // the highest piece left
        pieces &= ~(1u << top);
        int64_t low = first + top * int64_t{TRAILER_FILTER_PIECE};
        int64_t hit = last_magic_plain(data, std::max<int64_t>(low, 0),
                                       std::min<int64_t>(low + TRAILER_FILTER_PIECE - 1, high));
        if (hit >= 0) return hit;
    }
    return -1;
}

// Where the section data ends, by the running-end rule; false on a short table.
bool section_data_end(Source& input, uint64_t table, uint16_t count, uint32_t* end) {
    unsigned char headers[SECTIONS_PER_READ * SECTION_HEADER_SIZE];
    *end = 0;
    for (uint32_t done = 0; done < count;) {
        DWORD batch = std::min<DWORD>(SECTIONS_PER_READ, count - done);
        if (!read_at(input, table + uint64_t{done} * SECTION_HEADER_SIZE, headers, batch * SECTION_HEADER_SIZE))
            return false;
        for (DWORD i = 0; i < batch; ++i) {
            const unsigned char* section = headers + i * SECTION_HEADER_SIZE;
            uint32_t raw_size = load_le32(section + 16);
            uint32_t raw_pointer = load_le32(section + 20);
            // A section that starts before the running end is passed over.
            if (raw_pointer >= *end) *end = raw_pointer + raw_size;
        }
        done += batch;
    }
    return true;
}

// Where the certificate table starts when it fills the file from `end` to the
// file's end; 0 when there is no such table.
uint32_t certificate_start(Source& input, const unsigned char* nt, bool pe32plus, uint32_t end) {
    DWORD optional_size = load_le16(nt + 20);
    DWORD count_field = pe32plus ? 108 : 92;
    DWORD directories = count_field + 4;
    DWORD entry = directories + SECURITY_DIRECTORY * 8;
    if (optional_size < entry + 8) return 0;
    const unsigned char* optional = nt + FILE_HEADER_END;
    if (load_le32(optional + count_field) <= SECURITY_DIRECTORY) return 0;
    uint32_t table_start = load_le32(optional + entry);
    uint32_t table_size = load_le32(optional + entry + 4);
    if (table_size == 0 || table_start < end) return 0;
    DWORD size = input_size(input);
    if (size == INVALID_SET_FILE_POINTER || uint64_t{table_start} + table_size != size) return 0;
    return table_start;
}

// A search that could not read the whole file cannot say that there is no
// trailer, so the PE rule must not run after it: it ends like a trailer whose
// payload would start at 0, with nothing found.
bool unreadable(PayloadLocation* found) {
    *found = NOTHING;
    return true;
}

// The highest trailer's location; see find_trailer.
bool trailer_in(Source& input, PayloadLocation* found) {
    DWORD size = input_size(input);
    if (size == INVALID_SET_FILE_POINTER) return unreadable(found);
    if (size < TRAILER_SIZE || size > INT32_MAX) return false;
    // Position 0 is a candidate only when the trailer is the whole file.
    uint32_t lowest = size == TRAILER_SIZE ? 0 : 1;
    // Aligned to a cache line, so that the filters' rows never straddle two
    // and the system's copy into the block runs at full speed: some x86 CPUs
    // copy five times slower into a buffer that starts a few bytes past a
    // page's start (AMD EPYC, family 25).
    alignas(64) unsigned char block[TRAILER_BLOCK_SIZE];
    uint32_t block_end = size;
    while (block_end >= lowest + TRAILER_SIZE) {
        uint32_t block_start = block_end > TRAILER_BLOCK_SIZE ? block_end - TRAILER_BLOCK_SIZE : 0;
        uint32_t count = block_end - block_start;
        if (!read_at(input, block_start, block, count)) return unreadable(found);
        int64_t hit = find_last_magic(block, count);
        // The highest occurrence in the block is below `lowest` only when it
        // is at position 0 and that is no candidate: then there is none.
        if (hit >= 0 && block_start + hit >= lowest) {
            uint32_t back = load_le32(block + hit + 4);
            found->offset = block_start + static_cast<uint32_t>(hit) + back;
            found->length = 0u - back;
            return true;
        }
        if (block_start == 0) break;
        // Overlap by 7 bytes, so a trailer across the boundary is seen whole.
        block_end = block_start + TRAILER_SIZE - 1;
    }
    return false;
}

// The PE overlay's location; see find_pe_overlay.
PayloadLocation overlay_in(Source& input) {
    unsigned char dos[DOS_HEADER_SIZE];
    if (!read_at(input, 0, dos, sizeof dos) || load_le16(dos) != DOS_MAGIC) return NOTHING;
    int32_t lfanew = static_cast<int32_t>(load_le32(dos + LFANEW_FIELD));
    if (lfanew < 0) return NOTHING;
    unsigned char nt[NT_HEADERS_SIZE];
    if (!read_at(input, static_cast<uint64_t>(lfanew), nt, sizeof nt)) return NOTHING;
    uint16_t section_count = load_le16(nt + 6);
    uint16_t optional_size = load_le16(nt + 20);
    if (load_le32(nt) != NT_SIGNATURE || optional_size == 0) return NOTHING;
    // A 64-bit optional header is longer than the 224 bytes the fixed rule
    // assumes, so its section table is found by the size the header gives.
    bool pe32plus = load_le16(nt + FILE_HEADER_END) == PE32PLUS_MAGIC;
    uint64_t table = static_cast<uint64_t>(lfanew) + (pe32plus ? FILE_HEADER_END + optional_size : NT_HEADERS_SIZE);
    uint32_t end = 0;
    if (!section_data_end(input, table, section_count, &end) || end == 0) return NOTHING;
    uint32_t certificates = certificate_start(input, nt, pe32plus, end);
    if (certificates == 0) return {end, 0};
    // Only the signature follows the sections: an empty payload at the end.
    if (certificates == end) return {input_size(input), 0};
    return {end, certificates - end};
}

// Hands a failed read's error code to the caller, and then nothing found.
PayloadLocation result(const Source& input, PayloadLocation found, DWORD* error) {
    if (error) *error = input.error;
    return input.error == NO_ERROR ? found : NOTHING;
}

}  // namespace

std::span<const TrailerFilters* const> runnable_trailer_filters() {
    // Asked once per run: what the CPU can execute does not change.
    static const TrailerFilters* const sets[] = {&PORTABLE_FILTERS, wide_trailer_filters()};
    return {sets, sets[1] ? 2u : 1u};
}

const TrailerFilters& trailer_filters() {
    return forced_filters ? *forced_filters : *runnable_trailer_filters().back();
}

void use_trailer_filters(const TrailerFilters* filters) { forced_filters = filters; }

int64_t find_last_magic(const unsigned char* data, uint32_t count) {
    if (count < TRAILER_SIZE) return -1;
    const TrailerFilters& filters = trailer_filters();
    int64_t high = count - TRAILER_SIZE;
    int64_t chunks = count / TRAILER_FILTER_CHUNK;
    // Chunk c vouches for the positions [c * CHUNK - 1, c * CHUNK + CHUNK - 2];
    // those above the last whole chunk are compared one by one.
    int64_t covered = chunks * TRAILER_FILTER_CHUNK - 2;
    int64_t hit = last_magic_plain(data, std::max<int64_t>(covered + 1, 0), high);
    for (int64_t c = chunks; hit < 0 && (c = filters.last_hinted_chunk(data, c)) >= 0;)
        hit = last_magic_in_chunk(filters, data, c * TRAILER_FILTER_CHUNK, high);
    return hit;
}

bool find_trailer(HANDLE input, PayloadLocation* found, DWORD* error) {
    Source source{input};
    bool have = trailer_in(source, found);
    *found = result(source, *found, error);
    return have;
}

PayloadLocation find_pe_overlay(HANDLE input, DWORD* error) {
    Source source{input};
    PayloadLocation found = overlay_in(source);
    return result(source, found, error);
}

PayloadLocation locate_payload(HANDLE input, DWORD* error) {
    Source source{input};
    PayloadLocation found = NOTHING;
    if (!trailer_in(source, &found) && source.error == NO_ERROR) found = overlay_in(source);
    // A trailer whose payload would start at 0 counts as nothing found.
    if (found.offset == 0) found = NOTHING;
    return result(source, found, error);
}
