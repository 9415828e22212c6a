// Whether a payload is a torrent: a bencoded dictionary that holds an
// "info" dictionary, the form of every torrent file. Only the bytes up to
// that dictionary's end are the torrent.
#pragma once

#include <cstdint>

#include "locator.h"

// Containers nested deeper than this are taken for garbage, not a torrent:
// real torrents nest a few levels, a version 2 file tree one more for each
// directory level.
constexpr uint32_t TORRENT_MAX_NESTING = 128;
// How much of the payload is read at once; string contents, such as a large
// "pieces" string, are passed over without being read.
constexpr DWORD TORRENT_READ_SIZE = 4096;

// The check's answer: the states of a search (input.h) and one more, a
// torrent that the payload ends inside.
struct TorrentCheck {
    enum Kind {
        FOUND,       // a complete torrent of `length` bytes starts the payload
        NOTHING,     // no torrent: malformed, no dictionary, or no "info" dictionary
        INCOMPLETE,  // a well-formed start whose dictionary the payload or file ends inside
        READ_FAILED,
    } kind;
    uint32_t length;  // when FOUND
    DWORD error;      // when READ_FAILED: the failed call's system error code
    // When FOUND: where in the input the outer dictionary's first "info"
    // dictionary lies, the bytes whose hash names the torrent.
    PayloadLocation info;
};

// Checks the payload at `where` in the open input, without allocating.
TorrentCheck check_torrent(HANDLE input, PayloadLocation where);
