// Stands in for kernel32's file calls (CreateFileA, SetFilePointer,
// ReadFile, WriteFile, FlushFileBuffers, MoveFileExA, DeleteFileA ...) on
// file descriptors, with the behaviour the logic relies on from the
// originals: only files open, positions are 32-bit, and every read and
// write reports the bytes it moved. No signal handler of this program
// returns (an interruption ends the run), so no call here is cut short by
// one with EINTR.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "platform.h"

namespace {

int fd_of(HANDLE handle) { return static_cast<int>(reinterpret_cast<intptr_t>(handle)); }

HANDLE handle_of(int fd) { return reinterpret_cast<HANDLE>(static_cast<intptr_t>(fd)); }

// What an open of something that is neither a file nor a directory fails
// with: EFTYPE where the system has one (macOS, the BSDs), else EINVAL, as
// Linux's copy_file_range says of such a descriptor.
#ifdef EFTYPE
constexpr int NOT_A_FILE = EFTYPE;
#else
constexpr int NOT_A_FILE = EINVAL;
#endif

// 0 when `fd` is a regular file; otherwise the error an open of it fails
// with. Windows opens a directory only when asked to, and a downloader is
// never a pipe or a device, whose reads may block for ever.
int not_a_file_error(int fd) {
    struct stat st;
    if (fstat(fd, &st) != 0) return errno;
    if (S_ISREG(st.st_mode)) return 0;
    return S_ISDIR(st.st_mode) ? EISDIR : NOT_A_FILE;
}

// The identity fields of a file's status.
void identity_of(const struct stat& st, BY_HANDLE_FILE_INFORMATION* info) {
    auto index = static_cast<uint64_t>(st.st_ino);
    auto device = static_cast<uint64_t>(st.st_dev);
    info->dwVolumeSerialNumber = static_cast<DWORD>(device ^ device >> 32);
    info->nFileIndexHigh = static_cast<DWORD>(index >> 32);
    info->nFileIndexLow = static_cast<DWORD>(index);
}

}  // namespace

// Opened without blocking, so that a FIFO, whose open waits for the other
// end, is seen for what it is and refused before anything waits on it;
// the flag is cleared once the file is known to be one.
HANDLE CreateFileA(const char* name, DWORD access, DWORD, SECURITY_ATTRIBUTES*, DWORD creation, DWORD, HANDLE) {
    int flags = O_CLOEXEC | O_NOCTTY | O_NONBLOCK | ((access & GENERIC_WRITE) ? O_WRONLY : O_RDONLY);
    if (creation == CREATE_NEW) flags |= O_CREAT | O_EXCL;
    int fd = open(name, flags, 0666);
    if (fd == -1) return INVALID_HANDLE_VALUE;
    int err = not_a_file_error(fd);
    if (err == 0 && fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) err = errno;
    if (err != 0) {
        close(fd);
        errno = err;
        return INVALID_HANDLE_VALUE;
    }
    return handle_of(fd);
}

// From the file's start only (FILE_BEGIN), the one way the logic positions.
DWORD SetFilePointer(HANDLE file, LONG distance, LONG*, DWORD) {
    // Like the original: a move before the start fails.
    if (distance < 0) {
        errno = EINVAL;
        return INVALID_SET_FILE_POINTER;
    }
    if (lseek(fd_of(file), distance, SEEK_SET) < 0) return INVALID_SET_FILE_POINTER;
    return static_cast<DWORD>(distance);
}

// fstat of an open descriptor fails only when the system does.
BOOL GetFileSizeEx(HANDLE file, LARGE_INTEGER* size) {
    struct stat st;
    bool ok = fstat(fd_of(file), &st) == 0;
    if (ok) size->QuadPart = static_cast<long long>(st.st_size);
    return ok;
}

BOOL GetFileInformationByHandle(HANDLE file, BY_HANDLE_FILE_INFORMATION* info) {
    struct stat st;
    bool ok = fstat(fd_of(file), &st) == 0;
    if (ok) identity_of(st, info);
    return ok;
}

// lstat asks the name's folder, not the file: no permission on the file,
// and nothing is opened.
BOOL identify_file(const char* path, BY_HANDLE_FILE_INFORMATION* info) {
    struct stat st;
    bool ok = lstat(path, &st) == 0;
    if (ok) identity_of(st, info);
    return ok;
}

BOOL ReadFile(HANDLE file, void* buffer, DWORD count, DWORD* read_count, void*) {
    char* out = static_cast<char*>(buffer);
    DWORD done = 0;
    while (done != count) {
        ssize_t n = read(fd_of(file), out + done, count - done);
        if (n < 0) {
            *read_count = done;
            return FALSE;
        }
        if (n == 0) break;
        done += static_cast<DWORD>(n);
    }
    *read_count = done;
    return TRUE;
}

BOOL WriteFile(HANDLE file, const void* buffer, DWORD count, DWORD* written, void*) {
    const char* in = static_cast<const char*>(buffer);
    DWORD done = 0;
    while (done != count) {
        ssize_t n = write(fd_of(file), in + done, count - done);
        if (n <= 0) {
            if (n == 0) errno = ENOSPC;
            *written = done;
            return FALSE;
        }
        done += static_cast<DWORD>(n);
    }
    *written = done;
    return TRUE;
}

// Down to the drive's own storage. Where the system offers F_FULLFSYNC
// (macOS), fsync leaves the data in the drive's cache, written in any order;
// a file system that refuses F_FULLFSYNC (ENOTSUP: network shares, for one)
// gets fsync instead, as Go's File.Sync does. Any other error is the flush's.
BOOL FlushFileBuffers(HANDLE file) {
#ifdef F_FULLFSYNC
    if (fcntl(fd_of(file), F_FULLFSYNC) == 0) return TRUE;
    if (errno != ENOTSUP) return FALSE;
#endif
    return fsync(fd_of(file)) == 0;
}

BOOL CloseHandle(HANDLE handle) { return close(fd_of(handle)) == 0; }

BOOL MoveFileExA(const char* from, const char* to, DWORD) { return rename(from, to) == 0; }

BOOL DeleteFileA(const char* name) { return unlink(name) == 0; }

// An open file never stands in the way of a rename or an unlink here.
bool is_held_for_a_moment(DWORD, Attempt) { return false; }
