// Stands in for kernel32's Sleep: the thread sleeps for that many
// milliseconds, also across a signal.
#include <time.h>

#include "platform.h"

void Sleep(DWORD ms) {
    struct timespec left = {static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    // Its values are valid, so only a signal cuts it short: the rest is slept then.
    while (nanosleep(&left, &left) != 0) {
    }
}
