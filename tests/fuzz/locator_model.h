// The locator's and the torrent check's rules written out plainly over bytes
// in memory, one position and one field at a time, for differential checks
// against the real code.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include "locator.h"
#include "torrent_check.h"

// The trailer rule one candidate at a time, as plainly as it can be said:
// candidates from size-8 down to 1, and 0 only when the file is the trailer;
// one whose payload would start outside the file is passed over.
// `read8(p, bytes)` fetches the 8 bytes at p; when it fails, the search ends
// with nothing. True, with the trailer's position and back offset, at the
// highest trailer.
template <class Read8>
bool model_trailer(uint64_t size, Read8 read8, uint32_t* position, int32_t* back) {
    if (size < TRAILER_SIZE) return false;
    unsigned char t[TRAILER_SIZE];
    for (uint64_t p = size - TRAILER_SIZE;; --p) {
        if (!read8(p, t)) return false;
        int32_t value = static_cast<int32_t>(t[4] | t[5] << 8 | t[6] << 16 | uint32_t{t[7]} << 24);
        int64_t start = static_cast<int64_t>(p) + value;
        if (t[0] == 'P' && t[1] == 'S' && t[2] == 'E' && t[3] == 'R' && start >= 0 && start < static_cast<int64_t>(size)) {
            *position = static_cast<uint32_t>(p);
            *back = value;
            return true;
        }
        if (p <= 1) return false;
    }
}

// The same over bytes in memory.
bool model_trailer(const std::vector<unsigned char>& data, uint32_t* position, int32_t* back);

// What locate_payload must find in a file holding exactly `data`: {0, 0}
// for nothing.
PayloadLocation model_locate(const std::vector<unsigned char>& data);

// What check_torrent must answer for the `length` bytes at `offset` of
// `data`, by recursive descent.
TorrentCheck model_check(const std::vector<unsigned char>& data, uint32_t offset, uint32_t length);

// Writes `data` to `scratch_file` and opens it for reading; an invalid
// handle when either fails.
HANDLE write_and_open(const std::vector<unsigned char>& data, const char* scratch_file);
