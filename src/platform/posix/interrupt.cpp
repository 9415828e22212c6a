// Stands in for the console control handler of the Windows program: when
// SIGINT, SIGTERM, SIGHUP or SIGQUIT ends the run, a terminal changed by
// the key wait gets its settings back and an unfinished temporary file is
// removed.
// Then the process dies of the signal, as it would have, so the shell sees
// 128 + n. The handler does only what is safe there: tcsetattr and unlink,
// on a descriptor and a path prepared in advance.
#include "interrupt.h"

#include <signal.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <mutex>

#include "platform.h"

namespace {

const int INTERRUPTS[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

constexpr int NO_TERMINAL = -1;
volatile sig_atomic_t g_tty_fd = NO_TERMINAL;
struct termios g_tty_saved;
volatile sig_atomic_t g_remove_armed = false;
char g_remove_path[PATH_MAX];

void on_interrupt(int sig) {
    if (g_tty_fd != NO_TERMINAL) tcsetattr(g_tty_fd, TCSAFLUSH, &g_tty_saved);
    if (g_remove_armed) unlink(g_remove_path);
    // Dies of the signal here and now: with its default action restored and
    // unblocked, raise() does not return. Waiting for the handler to return
    // instead would let an interrupted read() restart first.
    signal(sig, SIG_DFL);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, sig);
    sigprocmask(SIG_UNBLOCK, &only, nullptr);
    raise(sig);
}

// Installs the handler. A signal the process was started with ignored (a
// background job of a non-interactive shell ignores SIGINT) stays
// ignored, as the shell meant.
void install_handler() {
    struct sigaction action = {};
    action.sa_handler = on_interrupt;
    sigemptyset(&action.sa_mask);
    for (int sig : INTERRUPTS) sigaddset(&action.sa_mask, sig);
    for (int sig : INTERRUPTS) {
        struct sigaction old;
        if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler != SIG_IGN) sigaction(sig, &action, nullptr);
    }
}

// Installs the handler on first use.
void catch_interrupts() {
    static std::once_flag once;
    std::call_once(once, install_handler);
}

}  // namespace

InterruptionsHeld::InterruptionsHeld() {
    sigset_t held;
    sigemptyset(&held);
    for (int sig : INTERRUPTS) sigaddset(&held, sig);
    sigprocmask(SIG_BLOCK, &held, &saved_);
}

// A signal that came meanwhile is delivered here, and its handler sees
// what was made and named; within an outer hold, the mask put back still
// blocks it.
InterruptionsHeld::~InterruptionsHeld() {
    int err = errno;
    sigprocmask(SIG_SETMASK, &saved_, nullptr);
    errno = err;
}

void restore_terminal_if_interrupted(int fd, const struct termios* saved) {
    g_tty_fd = NO_TERMINAL;
    if (fd == NO_TERMINAL) return;
    catch_interrupts();
    g_tty_saved = *saved;
    g_tty_fd = fd;
}

void remove_if_interrupted(const char* path) {
    g_remove_armed = false;
    if (!path || std::strlen(path) >= sizeof g_remove_path) return;
    catch_interrupts();
    std::strcpy(g_remove_path, path);
    g_remove_armed = true;
}
