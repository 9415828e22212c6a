#include "trailer_search.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <iterator>

#include "trailer_filters.h"

namespace {

constexpr TrailerFound NO_TRAILER = {TrailerFound::NOTHING, {}, NO_ERROR};

uint32_t load_le32(const unsigned char* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
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
    for (const unsigned char* row = chunk; row != chunk + TRAILER_FILTER_CHUNK; row += FILTER_LANE_BYTES) {
        const unsigned char* at = row;
        for (uint16_t& lane : seen) {
            uint16_t pair;
            std::memcpy(&pair, at, sizeof pair);
            lane |= static_cast<uint16_t>(-static_cast<uint16_t>(pair == MAGIC_HEAD) |
                                          -static_cast<uint16_t>(pair == MAGIC_MIDDLE));
            at += sizeof pair;
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
    return NO_POSITION;
}

// All ones when the byte is `expected`, else zero.
unsigned char byte_mask(unsigned char byte, char expected) {
    return static_cast<unsigned char>(-static_cast<unsigned char>(byte == static_cast<unsigned char>(expected)));
}

// True when one of the TRAILER_FILTER_PIECE positions from `first` on holds
// the magic. Reads three bytes past the last of them.
bool piece_holds_magic(const unsigned char* first) {
    unsigned char seen[FILTER_LANE_BYTES] = {};
    for (const unsigned char* row = first; row != first + TRAILER_FILTER_PIECE; row += FILTER_LANE_BYTES) {
        const unsigned char* p = row;
        for (unsigned char& lane : seen) {
            lane |= static_cast<unsigned char>(byte_mask(p[0], 'P') & byte_mask(p[1], 'S') & byte_mask(p[2], 'E') &
                                               byte_mask(p[3], 'R'));
            ++p;
        }
    }
    return any_set(seen);
}

// See TrailerFilters: the two filters applied over a block and a chunk.
int64_t last_hinted_chunk(const unsigned char* data, int64_t below) {
    for (int64_t c = below - 1; c >= 0; --c) {
        if (chunk_may_hold_magic(data + c * TRAILER_FILTER_CHUNK)) return c;
    }
    return NO_POSITION;
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

// The highest of the TRAILER_FILTER_CHUNK positions from `start` on that
// holds the magic; -1 when there is none. The piece filter is exact, so
// only the highest piece it reports is compared one by one; checking pieces
// first keeps text dense with "PS" and "SE" to few plain comparisons.
int64_t last_magic_in_chunk(const TrailerFilters& filters, const unsigned char* data, int64_t start) {
    uint32_t pieces = filters.pieces_holding_magic(data + start);
    if (pieces == 0) return NO_POSITION;
    int64_t low = start + (std::bit_width(pieces) - 1) * int64_t{TRAILER_FILTER_PIECE};
    return last_magic_plain(data, low, low + TRAILER_FILTER_PIECE - 1);
}

// True when a trailer at `position` with back offset `back` puts its
// payload's start inside the file, computed without 32-bit wraparound.
bool payload_inside(uint32_t position, int32_t back, uint32_t size) {
    int64_t start = int64_t{position} + back;
    return start >= 0 && start < int64_t{size};
}

// The highest position of the `count` bytes of a block read at `block_start`
// that holds a trailer and is at least `lowest`; -1 when there is none.
int64_t last_trailer_in(const unsigned char* block, uint32_t count, uint32_t block_start, uint32_t lowest,
                        uint32_t size) {
    for (uint32_t limit = count;;) {
        int64_t hit = find_last_magic(block, limit);
        if (hit == NO_POSITION || block_start + hit < lowest) return NO_POSITION;
        auto back = static_cast<int32_t>(load_le32(block + hit + 4));
        if (payload_inside(block_start + static_cast<uint32_t>(hit), back, size)) return hit;
        // The positions below this one: the magic does not overlap itself,
        // so another starts at least its own length lower.
        limit = static_cast<uint32_t>(hit) + TRAILER_SIZE - sizeof TRAILER_MAGIC;
    }
}

}  // namespace

std::span<const TrailerFilters* const> runnable_trailer_filters() {
    // Asked once per run: what the CPU can execute does not change.
    static const TrailerFilters* const sets[] = {&PORTABLE_FILTERS, wide_trailer_filters()};
    static const size_t count = std::count_if(std::begin(sets), std::end(sets), [](auto set) { return set != nullptr; });
    return {sets, count};
}

const TrailerFilters& trailer_filters() {
    return forced_filters ? *forced_filters : *runnable_trailer_filters().back();
}

void use_trailer_filters(const TrailerFilters* filters) { forced_filters = filters; }

int64_t find_last_magic(const unsigned char* data, uint32_t count) {
    if (count < TRAILER_SIZE) return NO_POSITION;
    const TrailerFilters& filters = trailer_filters();
    int64_t high = count - TRAILER_SIZE;
    // Chunk c is the positions [c * CHUNK, c * CHUNK + CHUNK - 1]. The pairs
    // of the bytes one past its start vouch for exactly those, so the chunk
    // filter reads from data + 1. The chunks that lie wholly at or below
    // `high` are filtered; the positions above them are compared one by one.
    int64_t chunks = (high + 1) / TRAILER_FILTER_CHUNK;
    int64_t hit = last_magic_plain(data, chunks * TRAILER_FILTER_CHUNK, high);
    for (int64_t c = chunks; hit == NO_POSITION && (c = filters.last_hinted_chunk(data + 1, c)) != NO_POSITION;)
        hit = last_magic_in_chunk(filters, data, c * TRAILER_FILTER_CHUNK);
    return hit;
}

TrailerFound find_trailer(InputReader& input, uint32_t size, uint32_t block_size) {
    if (size < TRAILER_SIZE) return NO_TRAILER;
    block_size = std::clamp(block_size, TRAILER_BLOCK_MIN, TRAILER_BLOCK_SIZE);
    // Position 0 is a candidate only when the trailer is the whole file.
    uint32_t lowest = size == TRAILER_SIZE ? 0 : 1;
    // Aligned to a cache line, so that the filters' rows never straddle two
    // and the system's copy into the block runs at full speed: some x86 CPUs
    // copy five times slower into a buffer that starts a few bytes past a
    // page's start (AMD EPYC, family 25).
    alignas(64) unsigned char block[TRAILER_BLOCK_SIZE];
    for (uint32_t block_end = size; block_end >= lowest + TRAILER_SIZE;) {
        uint32_t block_start = block_end - std::min(block_end, block_size);
        uint32_t count = block_end - block_start;
        // A file that shrank under the search cannot say where its trailer is.
        if (!input.read_required(block_start, block, count)) return {TrailerFound::READ_FAILED, {}, input.error()};
        int64_t hit = last_trailer_in(block, count, block_start, lowest, size);
        if (hit != NO_POSITION)
            return {TrailerFound::FOUND,
                    {block_start + static_cast<uint32_t>(hit), static_cast<int32_t>(load_le32(block + hit + 4))},
                    NO_ERROR};
        // Overlap by 7 bytes, so a trailer across the boundary is seen whole.
        block_end = block_start + TRAILER_SIZE - 1;
    }
    return NO_TRAILER;
}
