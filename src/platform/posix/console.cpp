// Stands in for the Windows console of a run: the process set up for a
// terminal and its pipes, and the key wait after a failure, read from the
// controlling terminal one key at a time without echo, as ReadConsoleInput
// reads key events.
#include <fcntl.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include "interrupt.h"
#include "platform.h"

// A write to a pipe nobody reads fails with EPIPE, and one past the file
// size limit (ulimit -f) with EFBIG, instead of killing the run: the save
// then fails as on a full disk and removes its temporary file. The
// standard descriptors are open, so that a file the run opens never
// becomes standard output by taking a closed one's number.
ProcessSetup::ProcessSetup() {
    signal(SIGPIPE, SIG_IGN);
    signal(SIGXFSZ, SIG_IGN);
    // open() takes the lowest free number: the closed one.
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd)
        if (fcntl(fd, F_GETFD) == -1) open("/dev/null", O_RDWR);  // EBADF, the one way it fails
}

ProcessSetup::~ProcessSetup() {}

namespace {

constexpr int NO_DESCRIPTOR = -1;  // what a failed open() returns

// A file descriptor from open(), closed with close().
struct FdTraits {
    using Handle = int;
    static Handle invalid() { return NO_DESCRIPTOR; }
    static bool close(Handle fd) { return ::close(fd) == 0; }
};

using ScopedFd = ScopedHandle<FdTraits>;

}  // namespace

void wait_for_key() {
    // The prompt must have gone to the controlling terminal, and the run
    // must be in its foreground: a background job that changed the
    // terminal's settings would be stopped (SIGTTOU), and one that read
    // from it would take the shell's keys. tcgetpgrp fails for a file, a
    // pipe and any terminal but the controlling one.
    if (tcgetpgrp(STDOUT_FILENO) != getpgrp()) return;
    // The terminal itself, not standard input: a redirected stdin must
    // neither feed the wait nor lose its data to it.
    ScopedFd tty(open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!tty.valid()) return;
    struct termios saved;
    if (tcgetattr(tty.get(), &saved) != 0) return;
    struct termios raw = saved;
    raw.c_lflag &= ~static_cast<tcflag_t>(ECHO | ICANON);
    // Started with SIGINT ignored (by a shell, for a job that Ctrl+C must
    // not end), the run does not die of it, but Ctrl+C still answers the
    // prompt: as a key, like any other.
    struct sigaction interrupt;
    if (sigaction(SIGINT, nullptr, &interrupt) == 0 && interrupt.sa_handler == SIG_IGN)
        raw.c_lflag &= ~static_cast<tcflag_t>(ISIG);
    // A read returns as soon as there is a key, however long it takes.
    char key;
    raw.c_cc[VMIN] = sizeof key;
    raw.c_cc[VTIME] = 0;
    restore_terminal_if_interrupted(tty.get(), &saved);
    if (tcsetattr(tty.get(), TCSANOW, &raw) == 0) {
        // No handler of this program returns, so only a key, the terminal's
        // end or its failure ends the read.
        ssize_t got = read(tty.get(), &key, sizeof key);
        static_cast<void>(got);
    }
    // TCSAFLUSH drops the rest of a multi-byte key, such as an arrow's sequence.
    tcsetattr(tty.get(), TCSAFLUSH, &saved);
    restore_terminal_if_interrupted(-1, nullptr);
}
