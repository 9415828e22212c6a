// What is undone when a signal ends the run: see interrupt.cpp.
#pragma once

#include <termios.h>

// Puts `saved` back on the terminal `fd` if SIGINT, SIGTERM, SIGHUP or
// SIGQUIT ends the run before the call with fd -1 withdraws it.
void restore_terminal_if_interrupted(int fd, const struct termios* saved);
