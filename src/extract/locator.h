// Finds the torrent embedded in a downloader: behind an 8-byte trailer
// ("PSER" and the negated payload length) anywhere in the file, or else as
// the data appended after the sections of a PE image.
#pragma once

#include <cstdint>

#include "platform.h"
#include "trailer_search.h"

// Where the payload lies in the input.
struct PayloadLocation {
    uint32_t offset;
    uint32_t length;
};

// The locator's answer, settled: a found payload is never empty, starts
// after position 0 and ends inside the file.
using LocateResult = SearchResult<PayloadLocation>;

// Finds the payload in the open input, trailer first, then the data
// appended to a PE image.
// `trailer_block` is how much of the file the trailer search reads at once.
LocateResult locate_payload(HANDLE input, uint32_t trailer_block = TRAILER_BLOCK_SIZE);
