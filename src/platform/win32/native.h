// The Windows side: the real kernel32/shell32/ole32 names and types, with
// MAX_PATH as Windows has it (260). NOMINMAX keeps std::min and std::max usable.
#pragma once

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <objbase.h>
#include <shellapi.h>

// What an InterruptionsHeld puts back when it ends: whether this thread
// held interruptions already, by an InterruptionsHeld further out.
typedef bool InterruptionsSaved;
