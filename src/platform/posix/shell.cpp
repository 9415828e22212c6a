// Stands in for shell32's ShellExecuteExA and ole32's COM set-up: the
// desktop's opener (xdg-open, or open on macOS) is started with the file
// and not waited for, as the Windows shell starts the registered program.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>

#include "platform.h"

extern char** environ;

namespace {

#if defined(__APPLE__)
const char OPENER[] = "open";
#else
const char OPENER[] = "xdg-open";
#endif

}  // namespace

// The opener gets no terminal: its standard streams are /dev/null, and it
// runs in a process group of its own, so Ctrl+C in this terminal later on
// does not end the torrent client it started. SIGPIPE and SIGXFSZ, which
// this program ignores, are at their defaults again for it.
BOOL ShellExecuteExA(SHELLEXECUTEINFOA* info) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    for (int fd = 0; fd <= 2; ++fd)
        posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", fd == 0 ? O_RDONLY : O_WRONLY, 0);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGXFSZ);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);
    char* argv[] = {const_cast<char*>(OPENER), const_cast<char*>(info->lpFile), nullptr};
    pid_t pid;
    int rc = posix_spawnp(&pid, OPENER, &actions, &attributes, argv, environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    SetLastError(static_cast<DWORD>(rc));
    return rc == 0;
}

// No COM here: nothing to set up or to tear down.
HRESULT CoInitializeEx(void*, DWORD) { return S_OK; }

void CoUninitialize() {}
