// Writes the located payload next to the input as NAME.torrent and hands the
// new file to the desktop's open action.
#pragma once

#include <cstddef>
#include <cstdint>

#include "locator.h"
#include "platform.h"

// The copy buffer's size, and the most that is read or written at once.
constexpr DWORD COPY_CHUNK_SIZE = 4096;

// Derives the output path: the input path with the extension of its last
// component replaced by ".torrent" (or ".torrent" appended when it has none).
// False when the result does not fit in `size` bytes.
bool make_output_name(const char* input_path, char* output, size_t size);

// Copies the payload into a new temporary file beside `output_path` and
// renames it over that name once complete. False, with the system error code
// in *error, when anything fails; no temporary file is left behind then.
bool save_payload(HANDLE input, const char* output_path, PayloadLocation where, DWORD* error);

// The export stage: names the output, prints where it goes, saves the payload
// and opens the result. Prints its own failure line and returns false when
// nothing was saved.
bool export_payload(HANDLE input, const char* input_path, PayloadLocation where);
