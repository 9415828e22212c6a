// The locator's and the torrent check's rules written out plainly over bytes
// in memory, one position and one field at a time, for differential checks
// against the real code.
#pragma once

#include <cstdint>
#include <vector>

#include "locator.h"
#include "torrent_check.h"

// The highest trailer whose payload starts inside `data`: its position and
// back offset. False when there is none.
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
