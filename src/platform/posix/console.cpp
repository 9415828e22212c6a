#include <cstdarg>
#include <cstdio>

#include "platform.h"

void console_print(const char* format, ...) {
    va_list args;
    va_start(args, format);
    vprintf(format, args);
    va_end(args);
    fflush(stdout);
}
