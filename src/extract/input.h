// The downloader as every reader of it sees it: reads at explicit positions
// that report what they delivered, the file's size, and the error code of
// the first call that failed.
#pragma once

#include <cstdint>

#include "platform.h"

// Positions in the input are signed 32-bit, so larger inputs are refused.
constexpr int64_t MAX_INPUT_SIZE = 0x7FFFFFFF;

// The input's size; false, with the system error code in *error, when it
// cannot be had.
bool input_size(HANDLE input, int64_t* size, DWORD* error);

// What a search of the input came to: what it found, nothing, or a failed
// read, which leaves the answer unknown.
template <typename Found>
struct SearchResult {
    enum Kind { FOUND, NOTHING, READ_FAILED } kind;
    Found value;  // when FOUND
    DWORD error;  // when READ_FAILED: the failed call's system error code
};

// Reads of the open input. A call that fails is not the file's answer: its
// error code is kept for the caller to report, rather than being taken for
// a file too short to hold what was looked for.
class InputReader {
public:
    explicit InputReader(HANDLE handle) : handle_(handle) {}

    // Reads up to `count` bytes at `position`: fewer only where the file
    // ends, none beyond a signed 32-bit offset; `*got` says how many, on
    // every path. False on a failed call.
    bool read_at(uint64_t position, void* buffer, DWORD count, DWORD* got);
    // All `count` bytes at `position` if the file holds them there; false
    // when it holds fewer, which is the file's answer and no error.
    bool read_if_there(uint64_t position, void* buffer, DWORD count);
    // All `count` bytes at `position`, which the file's size said are there:
    // fewer mean that the file shrank meanwhile, a failure (ERROR_HANDLE_EOF).
    bool read_required(uint64_t position, void* buffer, DWORD count);
    // The file's size as it is now; false on failure.
    bool size(int64_t* size);

    // NO_ERROR while every call has succeeded.
    DWORD error() const { return error_; }

private:
    bool failed(DWORD err);

    HANDLE handle_;
    DWORD error_ = NO_ERROR;
    // Where the last read left the file, so that reading on from there
    // costs no positioning; -1 when unknown.
    int64_t position_ = -1;
};
