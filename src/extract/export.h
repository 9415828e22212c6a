// Saves the located torrent next to the input as NAME.torrent and hands the
// new file to the desktop's open action. Nothing here prints: the run
// reports what each step did.
#pragma once

#include <cstddef>
#include <cstdint>

#include "locator.h"
#include "platform.h"

// The copy buffer's size, and the most that is read or written at once: a
// few pages, small enough for the stack, large enough that system calls
// cost little beside the copying.
constexpr DWORD COPY_CHUNK_SIZE = 4096;

// Derives the output path: the input path with the extension of its last
// component replaced by ".torrent" (or ".torrent" appended when it has none).
// False when the result does not fit in `size` bytes.
bool make_output_name(const char* input_path, char* output, size_t size);

// True when `path` names the very file open as `input` (not another name
// for it that differs only in letter case on a file system where that is
// another file), so that saving there would replace the input.
bool is_same_file(HANDLE input, const char* path);

// Copies the payload into a new temporary file beside `output_path` and
// renames it over that name once complete. False, with the system error code
// in *error, when anything fails; no temporary file is left behind then.
bool save_payload(HANDLE input, const char* output_path, PayloadLocation where, DWORD* error);

// Asks the desktop to open the saved file with its registered application,
// and ignores the answer.
void open_with_registered_application(const char* output);
