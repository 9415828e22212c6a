// The backward search for the payload trailer: "PSER" and a signed 32-bit
// back offset, little-endian. The payload starts at the trailer's position
// plus that offset; a negative offset makes it the bytes just before the
// trailer. Internal to the locator: the program's interface is locator.h.
#pragma once

#include <cstdint>

#include "input.h"

// The trailer's first four bytes, "PSER", read as a little-endian value.
constexpr uint32_t TRAILER_MAGIC = 0x52455350u;
constexpr uint32_t TRAILER_SIZE = 8;
// The search reads this much at a time, back from the end of the file: a
// few system calls for a large file, and a block that stays in the cache.
constexpr uint32_t TRAILER_BLOCK_SIZE = 128 * 1024;
// The smallest block a search takes: a trailer and the overlap, and more.
constexpr uint32_t TRAILER_BLOCK_MIN = 2 * TRAILER_SIZE;

// A trailer in the input: where it stands, and its back offset.
struct Trailer {
    uint32_t position;
    int32_t back;
};
using TrailerFound = SearchResult<Trailer>;

// The highest trailer whose payload would start inside the file of `size`
// bytes; others are code or data that happen to hold the magic. Positions
// from size-8 down to 1 are candidates, 0 only when the trailer is the
// whole file.
// `block_size`, from TRAILER_BLOCK_MIN to TRAILER_BLOCK_SIZE, is how much is read at once.
TrailerFound find_trailer(InputReader& input, uint32_t size, uint32_t block_size = TRAILER_BLOCK_SIZE);

// The highest position p <= count - 8 at which data holds the magic; -1 when
// there is none.
int64_t find_last_magic(const unsigned char* data, uint32_t count);
