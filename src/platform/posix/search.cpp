// Stands in for kernel32's file search (FindFirstFileA, FindNextFileA,
// FindClose): one record per directory entry whose name matches the
// pattern's last component, files and directories alike, "." and ".."
// included, in the order of their name bytes. A last component without a
// wildcard names one entry, which is looked up directly, as a shell does:
// that needs no permission to list its folder.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform.h"
#include "wildcard.h"

namespace {

// Seconds from 1601-01-01 (FILETIME's epoch) to 1970-01-01.
constexpr long long EPOCH_DIFFERENCE_S = 11644473600LL;

// A directory listing already filtered by the pattern and sorted by name.
struct FindState {
    std::string directory;
    std::vector<std::string> names;
    size_t next = 0;
};

FILETIME filetime_of(const struct timespec& ts) {
    unsigned long long ticks =
        static_cast<unsigned long long>(ts.tv_sec + EPOCH_DIFFERENCE_S) * 10000000ULL +
        static_cast<unsigned long long>(ts.tv_nsec) / 100ULL;
    FILETIME ft;
    ft.dwLowDateTime = static_cast<DWORD>(ticks);
    ft.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    return ft;
}

struct timespec mtime_of(const struct stat& st) {
#if defined(__APPLE__)
    return st.st_mtimespec;
#else
    return st.st_mtim;
#endif
}

// Fills one record for the entry; an entry gone since the listing gets no time.
void fill_record(const FindState& state, const std::string& name, WIN32_FIND_DATAA* data) {
    *data = {};
    std::snprintf(data->cFileName, sizeof data->cFileName, "%s", name.c_str());
    std::string path = state.directory + name;
    struct stat st;
    if (stat(path.c_str(), &st) != 0 && lstat(path.c_str(), &st) != 0) return;
    data->ftLastWriteTime = filetime_of(mtime_of(st));
}

// Reads the pattern's directory and keeps the names its last component matches.
bool list_matches(const char* pattern, FindState* state) {
    const char* wildcard = pattern + state->directory.size();
    DIR* dir = opendir(state->directory.empty() ? "." : state->directory.c_str());
    if (!dir) return false;
    while (struct dirent* entry = readdir(dir)) {
        if (wildcard_match(wildcard, entry->d_name)) state->names.emplace_back(entry->d_name);
    }
    closedir(dir);
    std::sort(state->names.begin(), state->names.end());
    return true;
}

// Keeps the name the pattern's last component gives, when there is such an
// entry (a symbolic link counts, wherever it points). An empty one, as in
// "dir/", names none.
bool look_up(const char* pattern, FindState* state) {
    const char* name = pattern + state->directory.size();
    if (*name == '\0') return true;
    struct stat st;
    if (lstat(pattern, &st) != 0) return false;
    state->names.emplace_back(name);
    return true;
}

}  // namespace

HANDLE FindFirstFileA(const char* pattern, WIN32_FIND_DATAA* data) {
    FindState* state = new FindState;
    state->directory.assign(pattern, directory_part_length(pattern));
    bool wildcards = std::strpbrk(pattern + state->directory.size(), "*?") != nullptr;
    if (!(wildcards ? list_matches(pattern, state) : look_up(pattern, state))) {
        int err = errno;
        delete state;
        errno = err;
        return INVALID_HANDLE_VALUE;
    }
    if (state->names.empty()) {
        delete state;
        errno = ENOENT;
        return INVALID_HANDLE_VALUE;
    }
    fill_record(*state, state->names[state->next++], data);
    return state;
}

BOOL FindNextFileA(HANDLE find, WIN32_FIND_DATAA* data) {
    FindState* state = static_cast<FindState*>(find);
    if (state->next >= state->names.size()) {
        errno = ENOENT;
        return FALSE;
    }
    fill_record(*state, state->names[state->next++], data);
    return TRUE;
}

BOOL FindClose(HANDLE find) {
    delete static_cast<FindState*>(find);
    return TRUE;
}
