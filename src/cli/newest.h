// Choosing the input: the newest match of the command line's patterns, and
// the path it is opened under.
#pragma once

#include <cstddef>

#include "platform.h"

// A match of a pattern: its name, without a directory, its last-write
// time, and the pattern that matched it.
struct Match {
    char name[MAX_PATH];
    FILETIME time;
    const char* pattern;
};

// The newest match of all `count` patterns, each searched in turn; on equal
// times the one delivered first wins, so an earlier pattern's. False when
// none matches; *error is then the first search failure that was not for
// want of such a file or folder (a folder that may not be listed, say), or
// NO_ERROR.
bool find_newest_of(const char* const* patterns, int count, Match* newest, DWORD* error);

// The pattern's directory part followed by `name`; false when it does not fit.
bool compose_input_path(const char* pattern, const char* name, char* path, size_t size);
