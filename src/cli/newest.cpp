#include "newest.h"

#include <cstdint>
#include <cstdio>

namespace {

// A FILETIME's two unsigned halves as the one count of ticks they make.
uint64_t ticks(const FILETIME& time) { return uint64_t{time.dwHighDateTime} << 32 | time.dwLowDateTime; }

// True when `candidate` was written strictly later than `chosen`.
bool is_newer(const FILETIME& candidate, const FILETIME& chosen) { return ticks(candidate) > ticks(chosen); }

// The newest match of `pattern`; on equal times the first match delivered
// wins. False when nothing matches, with the search's error code in *error.
bool find_newest_match(const char* pattern, Match* newest, DWORD* error) {
    WIN32_FIND_DATAA match;
    ScopedFind search(sys.FindFirstFileA(pattern, &match));
    if (!search.valid()) {
        *error = GetLastError();
        return false;
    }
    bool first = true;
    do {
        if (!first && !is_newer(match.ftLastWriteTime, newest->time)) continue;
        first = false;
        newest->time = match.ftLastWriteTime;
        std::snprintf(newest->name, sizeof newest->name, "%s", match.cFileName);
    } while (sys.FindNextFileA(search.get(), &match));
    newest->pattern = pattern;
    return true;
}

// True for the search failures that only say there is no such file or folder.
bool is_nothing_there(DWORD error) { return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND; }

}  // namespace

bool find_newest_of(const char* const* patterns, int count, Match* newest, DWORD* error) {
    bool found = false;
    *error = NO_ERROR;
    for (int i = 0; i < count; ++i) {
        Match match = {};
        DWORD failure;
        if (!find_newest_match(patterns[i], &match, &failure)) {
            if (*error == NO_ERROR && !is_nothing_there(failure)) *error = failure;
            continue;
        }
        if (found && !is_newer(match.time, newest->time)) continue;
        *newest = match;
        found = true;
    }
    return found;
}

bool compose_input_path(const char* pattern, const char* name, char* path, size_t size) {
    int directory = static_cast<int>(directory_part_length(pattern));
    int n = std::snprintf(path, size, "%.*s%s", directory, pattern, name);
    // A failure's negative count turns huge: it does not fit either.
    return static_cast<size_t>(n) < size;
}
