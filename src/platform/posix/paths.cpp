// Stands in for kernel32's path calls (GetCurrentDirectoryA,
// GetFullPathNameA) and says where a path's directory part ends. "/" is the
// only separator; a backslash or a colon is an ordinary byte of a name.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform.h"

DWORD GetCurrentDirectoryA(DWORD size, char* buffer) {
    if (getcwd(buffer, size)) return static_cast<DWORD>(std::strlen(buffer));
    // Too small: report the size needed, zero included, and leave the buffer
    // be. Any other failure fails this call too.
    char* whole = getcwd(nullptr, 0);
    if (!whole) return 0;
    DWORD needed = static_cast<DWORD>(std::strlen(whole) + 1);
    std::free(whole);
    return needed;
}

// Like the original, a relative name is put after the current directory;
// unlike it, "." and ".." stay as they are, since a symbolic link on the
// way may make them mean something else than the name's text suggests.
DWORD GetFullPathNameA(const char* name, DWORD size, char* buffer, char** file_part) {
    char cwd[PATH_MAX];
    if (name[0] != '/' && !getcwd(cwd, sizeof cwd)) return 0;
    int n = name[0] == '/' ? std::snprintf(buffer, size, "%s", name)
                           : std::snprintf(buffer, size, "%s%s%s", cwd, std::strcmp(cwd, "/") == 0 ? "" : "/", name);
    // Too small: the size needed, zero included.
    if (static_cast<DWORD>(n) >= size) return static_cast<DWORD>(n) + 1;
    if (file_part) *file_part = buffer + directory_part_length(buffer);
    return static_cast<DWORD>(n);
}

size_t directory_part_length(const char* path) {
    const char* slash = std::strrchr(path, '/');
    return slash ? static_cast<size_t>(slash - path) + 1 : 0;
}
