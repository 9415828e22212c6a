// A test-only platform layer that fails chosen platform calls. The fault
// test binary is linked with -Wl,--wrap for each call named here, so the
// logic's references reach these wrappers; the shipped program never is.
#pragma once

#include <string>
#include <vector>

#include "platform.h"

enum class Call {
    CreateFile,
    SetFilePointer,
    GetFileSizeEx,
    ReadFile,
    WriteFile,
    FlushFileBuffers,
    CloseHandle,
    MoveFileEx,
    Count
};

const char* call_name(Call call);

// One platform call as the logic made it, in order.
struct CallRecord {
    Call call;
    bool write_access;  // CreateFileA asked for GENERIC_WRITE
};

// What the wrappers do and saw; reset before each run.
struct FaultPlan {
    Call call = Call::Count;  // Count: no fault
    unsigned nth = 0;         // 1-based occurrence of `call` that fails
    DWORD error = 0;          // the error code the failed call leaves
    bool short_write = false; // WriteFile takes half and reports success
    bool empty_read = false;  // ReadFile delivers 0 bytes and reports success
    unsigned repeat = 1;      // how many occurrences in a row fail, from the nth on
    bool held = false;        // the error counts as a file held for a moment
};

void arm_fault(const FaultPlan& plan);
void disarm_faults();
bool fault_fired();
const std::vector<CallRecord>& call_log();
// Paths handed to ShellExecuteExA (recorded, nothing is started).
const std::vector<std::string>& opened_paths();
unsigned key_waits();
// Milliseconds the run asked Sleep for, in all (it returns at once here).
unsigned long slept_ms();
