// POSIX stand-in for the kernel32/shell32 calls, with the behaviour the
// extraction logic relies on from the Windows originals.
#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform.h"

extern char** environ;

namespace {

// Seconds from 1601-01-01 (FILETIME's epoch) to 1970-01-01.
constexpr long long EPOCH_DIFFERENCE_S = 11644473600LL;

int fd_of(HANDLE handle) { return static_cast<int>(reinterpret_cast<intptr_t>(handle)); }

HANDLE handle_of(int fd) { return reinterpret_cast<HANDLE>(static_cast<intptr_t>(fd)); }

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

// Fills one record for the entry; an entry gone since the listing gets no times.
void fill_record(const FindState& state, const std::string& name, WIN32_FIND_DATAA* data) {
    std::memset(data, 0, sizeof *data);
    std::snprintf(data->cFileName, sizeof data->cFileName, "%s", name.c_str());
    std::string path = state.directory + name;
    struct stat st;
    if (stat(path.c_str(), &st) != 0 && lstat(path.c_str(), &st) != 0) return;
    data->dwFileAttributes = S_ISDIR(st.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
    data->ftLastWriteTime = filetime_of(mtime_of(st));
    data->ftLastAccessTime = data->ftLastWriteTime;
    data->ftCreationTime = data->ftLastWriteTime;
    unsigned long long size = static_cast<unsigned long long>(st.st_size);
    data->nFileSizeLow = static_cast<DWORD>(size);
    data->nFileSizeHigh = static_cast<DWORD>(size >> 32);
}

// Reads the pattern's directory and keeps the names its last component matches.
bool list_matches(const char* pattern, FindState* state) {
    size_t dir_len = directory_part_length(pattern);
    state->directory.assign(pattern, dir_len);
    const char* wildcard = pattern + dir_len;
    DIR* dir = opendir(dir_len ? state->directory.c_str() : ".");
    if (!dir) return false;
    while (struct dirent* entry = readdir(dir)) {
        if (fnmatch(wildcard, entry->d_name, 0) == 0) state->names.emplace_back(entry->d_name);
    }
    closedir(dir);
    std::sort(state->names.begin(), state->names.end());
    return true;
}

}  // namespace

HANDLE FindFirstFileA(LPCSTR pattern, WIN32_FIND_DATAA* data) {
    FindState* state = new FindState;
    if (!list_matches(pattern, state)) {
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

HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD, LPSECURITY_ATTRIBUTES, DWORD creation, DWORD,
                   HANDLE) {
    int flags = O_CLOEXEC | O_NOCTTY;
    if ((access & GENERIC_READ) && (access & GENERIC_WRITE))
        flags |= O_RDWR;
    else if (access & GENERIC_WRITE)
        flags |= O_WRONLY;
    else
        flags |= O_RDONLY;
    switch (creation) {
    case CREATE_NEW: flags |= O_CREAT | O_EXCL; break;
    case CREATE_ALWAYS: flags |= O_CREAT | O_TRUNC; break;
    case OPEN_ALWAYS: flags |= O_CREAT; break;
    case TRUNCATE_EXISTING: flags |= O_TRUNC; break;
    default: break;
    }
    int fd = open(name, flags, 0666);
    if (fd < 0) return INVALID_HANDLE_VALUE;
    // Windows refuses to open a directory as a file; so does the stand-in.
    struct stat st;
    bool checked = fstat(fd, &st) == 0;
    if (!checked || S_ISDIR(st.st_mode)) {
        int err = checked ? EISDIR : errno;
        close(fd);
        errno = err;
        return INVALID_HANDLE_VALUE;
    }
    return handle_of(fd);
}

DWORD SetFilePointer(HANDLE file, LONG distance, PLONG, DWORD method) {
    int fd = fd_of(file);
    off_t base = 0;
    if (method == FILE_CURRENT) base = lseek(fd, 0, SEEK_CUR);
    if (method == FILE_END) base = lseek(fd, 0, SEEK_END);
    if (base < 0) return INVALID_SET_FILE_POINTER;
    long long target = static_cast<long long>(base) + distance;
    // Like the original without a high half: the result must fit in 32 bits.
    if (target < 0 || target >= static_cast<long long>(INVALID_SET_FILE_POINTER)) {
        errno = EINVAL;
        return INVALID_SET_FILE_POINTER;
    }
    if (lseek(fd, static_cast<off_t>(target), SEEK_SET) < 0) return INVALID_SET_FILE_POINTER;
    return static_cast<DWORD>(target);
}

BOOL GetFileSizeEx(HANDLE file, LARGE_INTEGER* size) {
    struct stat st;
    if (fstat(fd_of(file), &st) != 0) return FALSE;
    size->QuadPart = static_cast<LONGLONG>(st.st_size);
    return TRUE;
}

BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD count, LPDWORD read_count, void*) {
    char* out = static_cast<char*>(buffer);
    DWORD done = 0;
    while (done < count) {
        ssize_t n = read(fd_of(file), out + done, count - done);
        if (n < 0 && errno == EINTR) continue;
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

BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD count, LPDWORD written, void*) {
    const char* in = static_cast<const char*>(buffer);
    DWORD done = 0;
    while (done < count) {
        ssize_t n = write(fd_of(file), in + done, count - done);
        if (n < 0 && errno == EINTR) continue;
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

BOOL FlushFileBuffers(HANDLE file) { return fsync(fd_of(file)) == 0; }

BOOL CloseHandle(HANDLE handle) { return close(fd_of(handle)) == 0; }

BOOL MoveFileExA(LPCSTR from, LPCSTR to, DWORD) { return rename(from, to) == 0; }

BOOL DeleteFileA(LPCSTR name) { return unlink(name) == 0; }

DWORD GetLastError() { return static_cast<DWORD>(errno); }

void SetLastError(DWORD err) { errno = static_cast<int>(err); }

DWORD GetCurrentDirectoryA(DWORD size, LPSTR buffer) {
    if (getcwd(buffer, size)) return static_cast<DWORD>(std::strlen(buffer));
    if (errno != ERANGE) return 0;
    // Too small: report the size needed, zero included, and leave the buffer be.
    char* whole = getcwd(nullptr, 0);
    if (!whole) return 0;
    DWORD needed = static_cast<DWORD>(std::strlen(whole) + 1);
    std::free(whole);
    return needed;
}

DWORD GetCurrentProcessId() { return static_cast<DWORD>(getpid()); }

void Sleep(DWORD ms) {
    struct timespec left = {static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

HINSTANCE ShellExecuteA(HWND, LPCSTR, LPCSTR file, LPCSTR, LPCSTR, int) {
#if defined(__APPLE__)
    const char* opener = "open";
#else
    const char* opener = "xdg-open";
#endif
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    for (int fd = 0; fd <= 2; ++fd)
        posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", fd == 0 ? O_RDONLY : O_WRONLY, 0);
    char* argv[] = {const_cast<char*>(opener), const_cast<char*>(file), nullptr};
    pid_t pid;
    int rc = posix_spawnp(&pid, opener, &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    // Like the original, success is a value above 32; the caller ignores it.
    return reinterpret_cast<HINSTANCE>(static_cast<intptr_t>(rc == 0 ? 33 : 2));
}

size_t directory_part_length(const char* path) {
    const char* slash = std::strrchr(path, '/');
    return slash ? static_cast<size_t>(slash - path) + 1 : 0;
}

ConsoleScope::ConsoleScope() : saved_(0) {}

ConsoleScope::~ConsoleScope() {}

namespace {

// The terminal the key wait changed, kept where a signal handler can reach it.
int g_tty_fd = -1;
struct termios g_tty_saved;

void restore_tty() {
    if (g_tty_fd >= 0) tcsetattr(g_tty_fd, TCSAFLUSH, &g_tty_saved);
}

// Ctrl+C or a hang-up during the wait: put the terminal back, then die of it.
void on_signal(int sig) {
    restore_tty();
    signal(sig, SIG_DFL);
    raise(sig);
}

}  // namespace

void wait_for_key() {
    // The controlling terminal, not standard input: a redirected stdin must
    // neither feed the wait nor lose its data to it.
    int fd = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return;
    if (tcgetattr(fd, &g_tty_saved) != 0) {
        close(fd);
        return;
    }
    struct termios raw = g_tty_saved;
    raw.c_lflag &= ~static_cast<tcflag_t>(ECHO | ICANON);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    g_tty_fd = fd;
    struct sigaction action = {}, old_int, old_term, old_hup;
    action.sa_handler = on_signal;
    sigaction(SIGINT, &action, &old_int);
    sigaction(SIGTERM, &action, &old_term);
    sigaction(SIGHUP, &action, &old_hup);
    if (tcsetattr(fd, TCSANOW, &raw) == 0) {
        char key;
        while (read(fd, &key, 1) < 0 && errno == EINTR) {
        }
    }
    // TCSAFLUSH drops the rest of a multi-byte key, such as an arrow's sequence.
    restore_tty();
    g_tty_fd = -1;
    sigaction(SIGINT, &old_int, nullptr);
    sigaction(SIGTERM, &old_term, nullptr);
    sigaction(SIGHUP, &old_hup, nullptr);
    close(fd);
}
