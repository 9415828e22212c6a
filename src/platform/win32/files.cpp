// The file side of the platform layer that Windows does not offer under one
// name: which failures another program's open handle causes for a moment,
// where a path's directory part ends, and a file's identity by its name.
// Every file call itself is kernel32's own.
#include "platform.h"

// Scanners, the indexer and sync clients open a file that was just written
// without FILE_SHARE_DELETE for a moment, and a torrent client may hold an
// earlier output so: a rename or delete then fails with one of these. An
// open that is denied access is a real refusal (a directory, a permission).
bool is_held_for_a_moment(DWORD error, Attempt attempt) {
    if (attempt == Attempt::Opening) return error == ERROR_SHARING_VIOLATION;
    return error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION;
}

size_t directory_part_length(const char* path) {
    size_t length = 0;
    // CharNextA steps over whole characters, so the 0x5C trail byte of a
    // double-byte character is never taken for a backslash.
    for (const char* p = path; *p; p = CharNextA(p)) {
        if (*p == '\\' || *p == '/') {
            length = static_cast<size_t>(p - path) + 1;
        } else if (*p == ':' && p == path + 1) {
            length = 2;  // a drive prefix: "C:name" is relative to C:'s directory
        }
    }
    return length;
}

// An open that asks for no access needs no permission, and no other
// program's handle blocks it; a directory or a reparse point opens as it
// stands, not what it points to.
BOOL identify_file(const char* path, BY_HANDLE_FILE_INFORMATION* info) {
    ScopedHandle file(CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!file.valid()) return FALSE;
    if (GetFileInformationByHandle(file.get(), info)) return TRUE;
    DWORD err = GetLastError();
    file.reset();
    SetLastError(err);
    return FALSE;
}
