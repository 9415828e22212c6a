// The locator's rules written out plainly over bytes in memory, one position
// and one field at a time, for differential checks against the real locator.
#pragma once

#include <cstdint>
#include <vector>

#include "locator.h"

// What locate_payload must return for a file holding exactly `data`.
PayloadLocation model_locate(const std::vector<unsigned char>& data);

// Runs the real locator over `data` written to `scratch_file`; false when
// the file could not be written or opened.
bool real_locate(const std::vector<unsigned char>& data, const char* scratch_file, PayloadLocation* found);
