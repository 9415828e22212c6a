// The trailer search's filters in 32-byte AVX2 rows, for x86-64 CPUs that
// report AVX2. The build picks this file for GCC and Clang on x86-64 and
// compiles it for the baseline CPU like the rest: only the functions marked
// target("avx2") hold AVX2 instructions, so nothing the program shares with
// other files (no inline function, no template) is ever emitted for AVX2.
#include <cpuid.h>
#include <immintrin.h>

#include "trailer_filters.h"

namespace {
namespace avx2 {

constexpr uint32_t ROW_BYTES = 32;

// 32 bytes from `p`, at any alignment.
[[gnu::target("avx2")]] __m256i load(const unsigned char* p) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}

// As the portable chunk_may_hold_magic: true when a pair at an even offset
// of the chunk is "PS" or "SE" (x86 is little-endian: 'P' is the low byte).
[[gnu::target("avx2")]] bool chunk_may_hold_magic(const unsigned char* chunk) {
    const __m256i head = _mm256_set1_epi16('P' | 'S' << 8);
    const __m256i middle = _mm256_set1_epi16('S' | 'E' << 8);
    __m256i seen = _mm256_setzero_si256();
    for (uint32_t row = 0; row < TRAILER_FILTER_CHUNK; row += ROW_BYTES) {
        __m256i pairs = load(chunk + row);
        seen = _mm256_or_si256(seen, _mm256_or_si256(_mm256_cmpeq_epi16(pairs, head), _mm256_cmpeq_epi16(pairs, middle)));
    }
    return !_mm256_testz_si256(seen, seen);
}

// See TrailerFilters::last_hinted_chunk.
[[gnu::target("avx2")]] int64_t last_hinted_chunk(const unsigned char* data, int64_t below) {
    for (int64_t c = below - 1; c >= 0; --c) {
        if (chunk_may_hold_magic(data + c * TRAILER_FILTER_CHUNK)) return c;
    }
    return NO_POSITION;
}

// As the portable piece_holds_magic: true when one of the
// TRAILER_FILTER_PIECE positions from `first` on holds the magic. Lane i of
// a row tests position row + i against the magic's four bytes at once.
[[gnu::target("avx2")]] bool piece_holds_magic(const unsigned char* first) {
    const __m256i p = _mm256_set1_epi8('P'), s = _mm256_set1_epi8('S');
    const __m256i e = _mm256_set1_epi8('E'), r = _mm256_set1_epi8('R');
    __m256i seen = _mm256_setzero_si256();
    for (uint32_t row = 0; row < TRAILER_FILTER_PIECE; row += ROW_BYTES) {
        const unsigned char* at = first + row;
        __m256i ps = _mm256_and_si256(_mm256_cmpeq_epi8(load(at), p), _mm256_cmpeq_epi8(load(at + 1), s));
        __m256i er = _mm256_and_si256(_mm256_cmpeq_epi8(load(at + 2), e), _mm256_cmpeq_epi8(load(at + 3), r));
        seen = _mm256_or_si256(seen, _mm256_and_si256(ps, er));
    }
    return !_mm256_testz_si256(seen, seen);
}

// See TrailerFilters::pieces_holding_magic.
[[gnu::target("avx2")]] uint32_t pieces_holding_magic(const unsigned char* first) {
    uint32_t pieces = 0;
    for (uint32_t k = 0; k < TRAILER_FILTER_CHUNK / TRAILER_FILTER_PIECE; ++k)
        pieces |= uint32_t{piece_holds_magic(first + k * TRAILER_FILTER_PIECE)} << k;
    return pieces;
}

constexpr TrailerFilters FILTERS = {"avx2", ROW_BYTES, last_hinted_chunk, pieces_holding_magic};

}  // namespace avx2
}  // namespace

namespace {

// XCR0, the register state the operating system saves on a task switch.
// Only to be read once CPUID reports OSXSAVE.
uint64_t saved_register_state() {
    uint32_t low, high;
    __asm__ volatile("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
    return uint64_t{high} << 32 | low;
}

// The CPU executes AVX2 and the system keeps the 32-byte registers. Asks
// the processor itself, not a compiler's runtime that not every toolchain
// links (__builtin_cpu_supports needs libgcc's or compiler-rt's).
bool runs_avx2() {
    unsigned eax, ebx, ecx, edx;
    if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return false;
    const bool os_saves_state = ecx & bit_OSXSAVE, avx = ecx & bit_AVX;
    // XMM and YMM state: the system saves both halves of each register.
    const uint64_t ymm_state = 0x6;
    if (!os_saves_state || !avx || (saved_register_state() & ymm_state) != ymm_state) return false;
    return __get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) && (ebx & bit_AVX2);
}

}  // namespace

const TrailerFilters* wide_trailer_filters() { return runs_avx2() ? &avx2::FILTERS : nullptr; }
