// Stands in for the console control handler in a page: nothing interrupts
// a run there, as no signal reaches a worker. Closing the page ends the
// worker and its files with it: they are the worker's memory.
#include "platform.h"

// A hold has nothing to hold back, and no signal mask to put back.
InterruptionsHeld::InterruptionsHeld() { sigemptyset(&saved_); }

InterruptionsHeld::~InterruptionsHeld() {}

void remove_if_interrupted(const char*) {}
