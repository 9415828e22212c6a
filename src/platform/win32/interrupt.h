// What is undone when a console event ends the run: see interrupt.cpp.
#pragma once

#include "platform.h"

// Puts the console's output code page back to `code_page` (0: none) if
// Ctrl+C, Ctrl+Break or a closed window ends the run.
void restore_code_page_if_interrupted(UINT code_page);
