// The locator's rules written out plainly over bytes in memory, one position
// and one field at a time, for differential checks against the real locator.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include "locator.h"

// The trailer rule one candidate at a time, as plainly as it can be said:
// candidates from size-8 down to 1, and 0 only when the file is the trailer.
// `read8(p, bytes)` fetches the 8 bytes at p; when it fails, the search
// ends with nothing. True, with the payload's place, at the highest trailer.
template <class Read8>
bool model_trailer(uint64_t size, Read8 read8, PayloadLocation* found) {
    if (size < TRAILER_SIZE) return false;
    unsigned char t[TRAILER_SIZE];
    for (uint64_t p = size - TRAILER_SIZE;; --p) {
        if (!read8(p, t)) return false;
        if (std::memcmp(t, "PSER", 4) == 0) {
            uint32_t back = t[4] | t[5] << 8 | t[6] << 16 | uint32_t{t[7]} << 24;
            found->offset = static_cast<uint32_t>(p) + back;
            found->length = 0u - back;
            return true;
        }
        if (p <= 1) return false;
    }
}

// The same over bytes in memory.
bool model_trailer(const std::vector<unsigned char>& data, PayloadLocation* found);

// What locate_payload must return for a file holding exactly `data`.
PayloadLocation model_locate(const std::vector<unsigned char>& data);

// Runs the real locator over `data` written to `scratch_file`; false when
// the file could not be written or opened.
bool real_locate(const std::vector<unsigned char>& data, const char* scratch_file, PayloadLocation* found);
