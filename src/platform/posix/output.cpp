// Stands in for the console's output: the messages, printed to standard
// output as they are.
#include <unistd.h>

#include <cstdarg>
#include <cstdio>

#include "platform.h"

// Output is best effort: a reader that went away (`| head -1`), a full
// disk or a closed descriptor must not cost the save, so the result of
// the write is not looked at.
void console_print(const char* format, ...) {
    va_list args;
    va_start(args, format);
    vdprintf(STDOUT_FILENO, format, args);
    va_end(args);
}
