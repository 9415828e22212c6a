// The trailer search's filters in 16-byte rows of WebAssembly's vector
// instructions (simd128), for the web build: scalar WebAssembly scans a
// block at about a twentieth of the speed of a native program, which the
// page, reading its File at the browser's own speed, would feel. Only this
// file is compiled with -msimd128; the module then runs in every browser
// that runs vector instructions (all current ones: Chrome and Firefox since
// 2021, Safari since 16.4), and such a browser always executes them.
#include <wasm_simd128.h>

#include "trailer_filters.h"

namespace {
namespace simd128 {

constexpr uint32_t ROW_BYTES = 16;

// As the portable chunk_may_hold_magic: true when a pair at an even offset
// of the chunk is "PS" or "SE" (WebAssembly is little-endian: 'P' is the
// low byte).
bool chunk_may_hold_magic(const unsigned char* chunk) {
    const v128_t head = wasm_i16x8_splat('P' | 'S' << 8);
    const v128_t middle = wasm_i16x8_splat('S' | 'E' << 8);
    v128_t seen = wasm_i64x2_splat(0);
    for (uint32_t row = 0; row < TRAILER_FILTER_CHUNK; row += ROW_BYTES) {
        v128_t pairs = wasm_v128_load(chunk + row);
        seen = wasm_v128_or(seen, wasm_v128_or(wasm_i16x8_eq(pairs, head), wasm_i16x8_eq(pairs, middle)));
    }
    return wasm_v128_any_true(seen);
}

// See TrailerFilters::last_hinted_chunk.
int64_t last_hinted_chunk(const unsigned char* data, int64_t below) {
    for (int64_t c = below - 1; c >= 0; --c) {
        if (chunk_may_hold_magic(data + c * TRAILER_FILTER_CHUNK)) return c;
    }
    return NO_POSITION;
}

// As the portable piece_holds_magic: true when one of the
// TRAILER_FILTER_PIECE positions from `first` on holds the magic. Lane i of
// a row tests position row + i against the magic's four bytes at once.
bool piece_holds_magic(const unsigned char* first) {
    const v128_t p = wasm_i8x16_splat('P'), s = wasm_i8x16_splat('S');
    const v128_t e = wasm_i8x16_splat('E'), r = wasm_i8x16_splat('R');
    v128_t seen = wasm_i64x2_splat(0);
    for (uint32_t row = 0; row < TRAILER_FILTER_PIECE; row += ROW_BYTES) {
        const unsigned char* at = first + row;
        v128_t ps = wasm_v128_and(wasm_i8x16_eq(wasm_v128_load(at), p), wasm_i8x16_eq(wasm_v128_load(at + 1), s));
        v128_t er = wasm_v128_and(wasm_i8x16_eq(wasm_v128_load(at + 2), e), wasm_i8x16_eq(wasm_v128_load(at + 3), r));
        seen = wasm_v128_or(seen, wasm_v128_and(ps, er));
    }
    return wasm_v128_any_true(seen);
}

// See TrailerFilters::pieces_holding_magic.
uint32_t pieces_holding_magic(const unsigned char* first) {
    uint32_t pieces = 0;
    for (uint32_t k = 0; k < TRAILER_FILTER_CHUNK / TRAILER_FILTER_PIECE; ++k)
        pieces |= uint32_t{piece_holds_magic(first + k * TRAILER_FILTER_PIECE)} << k;
    return pieces;
}

constexpr TrailerFilters FILTERS = {"simd128", ROW_BYTES, last_hinted_chunk, pieces_holding_magic};

}  // namespace simd128
}  // namespace

const TrailerFilters* wide_trailer_filters() { return &simd128::FILTERS; }
