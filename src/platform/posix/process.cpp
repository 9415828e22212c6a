// Stands in for kernel32's process calls: the last error (errno), the
// process id and Sleep.
#include <time.h>
#include <unistd.h>

#include "platform.h"

DWORD GetLastError() { return static_cast<DWORD>(errno); }

void SetLastError(DWORD err) { errno = static_cast<int>(err); }

DWORD GetCurrentProcessId() { return static_cast<DWORD>(getpid()); }

void Sleep(DWORD ms) {
    struct timespec left = {static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    // Its values are valid, so only a signal cuts it short: the rest is slept then.
    while (nanosleep(&left, &left) != 0) {
    }
}
