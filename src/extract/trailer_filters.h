// The trailer search's two filters, in one set per kind of vector unit: the
// portable set, written for 16-byte vectors, and a wider set for CPUs that
// report one at run time. A run uses one set throughout; the tests and the
// benchmark may make it use any other this CPU can execute. Internal to the
// trailer search (trailer_search.h).
#pragma once

#include <cstdint>
#include <span>

// The search tests the block this many bytes at a time for a hint of the
// magic before it compares positions one by one.
constexpr uint32_t TRAILER_FILTER_CHUNK = 256;
// What a search for a position answers when there is none.
constexpr int64_t NO_POSITION = -1;
// Chunks that pass the first filter are checked exactly in pieces of this
// many positions, so that a stray "PS" costs little.
constexpr uint32_t TRAILER_FILTER_PIECE = 64;

// One implementation of both filters.
struct TrailerFilters {
    const char* name;  // a plain identifier: benchmark lines, test names
    uint32_t row_bytes;  // the vector width it is written for
    // The highest chunk below chunk number `below` (chunk c is the
    // TRAILER_FILTER_CHUNK bytes at data + c * TRAILER_FILTER_CHUNK) with a
    // pair "PS" or "SE" at an even offset; -1 when there is none.
    int64_t (*last_hinted_chunk)(const unsigned char* data, int64_t below);
    // Bit k set when piece k of a chunk, the TRAILER_FILTER_PIECE positions
    // from first + k * TRAILER_FILTER_PIECE on, holds the magic at one of
    // them. Reads the chunk's positions from `first` and three bytes past.
    uint32_t (*pieces_holding_magic)(const unsigned char* first);
};

// The wider set when this CPU can execute it, else nullptr. Defined by the
// file the build picks for the target: AVX2 on x86-64 with GCC or Clang,
// nothing elsewhere.
const TrailerFilters* wide_trailer_filters();

// Every set this CPU can execute: the portable one first, the one a run
// chooses last.
std::span<const TrailerFilters* const> runnable_trailer_filters();

// The set the trailer search uses now.
const TrailerFilters& trailer_filters();

// For tests and the benchmark only: the search uses `filters`, one of
// runnable_trailer_filters(), until the next call; nullptr restores the
// run's own choice.
void use_trailer_filters(const TrailerFilters* filters);
