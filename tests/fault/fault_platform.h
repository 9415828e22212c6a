// A test-only layer over the platform calls. It swaps entries of the call
// table `sys` (calls.h) for wrappers that log each call, fail the planned
// ones and otherwise call the real function, so a real run meets the
// failure inside the very call it makes. The shipped program never has it.
#pragma once

#include <string>
#include <vector>

#include "platform.h"

// The calls the layer logs and can fail, named as the table's entries.
enum class Call {
    CreateFileA,
    SetFilePointer,
    GetFileSizeEx,
    GetFileInformationByHandle,
    identify_file,
    ReadFile,
    WriteFile,
    FlushFileBuffers,
    CloseHandle,
    MoveFileExA,
    DeleteFileA,
    FindFirstFileA,
    FindNextFileA,
    GetFullPathNameA,
    ShellExecuteExA,
    Count
};

const char* call_name(Call call);

// An error code that no system call returns and no path of the program
// sets: bit 29 marks a code as the application's own on Windows, and errno
// values are small. A message that shows it shows the injected failure's
// own code, neither lost nor replaced.
constexpr DWORD INJECTED_ERROR = 0x2000D17Eu;

// How a planned call fails.
enum class Failure {
    Fails,       // returns its failure value and leaves `error` for GetLastError
    ShortWrite,  // WriteFile writes half of what it was given and reports success
    EmptyRead,   // ReadFile delivers nothing and reports success: the input's end
};

struct Fault {
    Call call = Call::Count;
    unsigned nth = 1;    // the first occurrence of `call` that fails, counted from 1
    unsigned times = 1;  // how many occurrences in a row fail
    Failure failure = Failure::Fails;
    DWORD error = INJECTED_ERROR;
};

// One call as the logic made it, in order.
struct CallRecord {
    Call call;
    bool write_access;       // CreateFileA asked for GENERIC_WRITE
    DWORD bytes;             // ReadFile: the bytes it delivered
    bool signals_blocked;    // POSIX: SIGINT and SIGTERM waited while the call ran
};

// Puts the wrappers into `sys` with these faults, and forgets what they saw.
void arm_faults(const std::vector<Fault>& faults);
// Puts the real calls back into `sys`; what the wrappers saw stays.
void disarm_faults();

// What the wrappers saw while they were armed last.
unsigned faults_fired();
const std::vector<CallRecord>& call_log();
// Paths handed to ShellExecuteExA, which starts nothing here.
const std::vector<std::string>& opened_paths();
unsigned key_waits();
// Milliseconds the run asked Sleep for, in all; it returns at once here.
unsigned long slept_ms();
