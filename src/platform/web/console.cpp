// Stands in for the Windows console in a page, where there is none: the
// program's lines go to the page, which shows them (output.cpp prints
// them), there is nothing to set up around the run, and the key wait after
// a failure returns at once, since nobody could answer it.
#include "platform.h"

ProcessSetup::ProcessSetup() {}

ProcessSetup::~ProcessSetup() {}

void wait_for_key() {}
