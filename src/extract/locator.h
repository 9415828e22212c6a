// Finds the torrent embedded in a downloader: behind an 8-byte trailer
// ("PSER" and the negated payload length) anywhere in the file, or else as
// the data appended after the sections of a PE image.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform.h"

// The trailer's first four bytes, "PSER", read as a little-endian value.
constexpr uint32_t TRAILER_MAGIC = 0x52455350u;
constexpr uint32_t TRAILER_SIZE = 8;
// The trailer search reads this much at a time, back from the end of the file.
constexpr uint32_t TRAILER_BLOCK_SIZE = 128 * 1024;
// The search tests the block this many bytes at a time for a hint of the
// magic before it compares positions one by one.
constexpr uint32_t TRAILER_FILTER_CHUNK = 256;

// Where the payload lies. Offset 0: nothing was found. Length 0: the payload
// runs to the end of the input.
struct PayloadLocation {
    uint32_t offset;
    uint32_t length;
};

// Finds the payload in the open input, trailer first, then the PE overlay.
// When a read or a positioning fails, nothing is found and the system error
// code goes to *error (when given); otherwise *error is NO_ERROR.
PayloadLocation locate_payload(HANDLE input, DWORD* error = nullptr);

// The highest position p <= count - 8 at which data holds the magic; -1 when
// there is none.
int64_t find_last_magic(const unsigned char* data, uint32_t count);

// Looks for the highest trailer; true and its location when there is one.
// Also true, with offset 0 (nothing found), when the file could not be read
// to its start: another rule must not guess where the payload is then.
bool find_trailer(HANDLE input, PayloadLocation* found, DWORD* error = nullptr);

// The data after a PE image's sections (and before a certificate table that
// closes the file); offset 0 when the input is not such an image.
PayloadLocation find_pe_overlay(HANDLE input, DWORD* error = nullptr);
