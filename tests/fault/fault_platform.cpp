#include "fault_platform.h"

namespace {

// The real calls, which every wrapper ends in unless it fails.
const PlatformCalls REAL;

std::vector<Fault> g_faults;
unsigned g_fired = 0;
unsigned g_counts[static_cast<int>(Call::Count)];
std::vector<CallRecord> g_log;
std::vector<std::string> g_opened;
unsigned g_key_waits = 0;
unsigned long g_slept_ms = 0;

// POSIX: whether SIGINT waits now, as an InterruptionsHeld makes it wait.
// Windows holds interruptions with a lock of its own, not seen here.
bool signals_blocked() {
#ifndef _WIN32
    sigset_t mask;
    if (sigprocmask(SIG_BLOCK, nullptr, &mask) == 0) return sigismember(&mask, SIGINT) == 1;
#endif
    return false;
}

// Logs the call; the fault planned for this occurrence of it, if any.
const Fault* planned(Call call, bool write_access = false) {
    g_log.push_back({call, write_access, 0, signals_blocked()});
    unsigned n = ++g_counts[static_cast<int>(call)];
    for (const Fault& fault : g_faults) {
        if (fault.call != call || n < fault.nth || n - fault.nth >= fault.times) continue;
        ++g_fired;
        return &fault;
    }
    return nullptr;
}

// True when the call is to fail outright; its error code is then set.
bool fails(const Fault* fault) {
    if (!fault || fault->failure != Failure::Fails) return false;
    SetLastError(fault->error);
    return true;
}

// Puts into the table, for entry `name`, a wrapper that logs the call and,
// when it is planned to fail, returns `failed` instead of calling the real
// function. Its parameter types are the entry's own, on each platform.
#define WRAP(name, failed)                                                                             \
    sys.name = [](auto... args) {                                                                      \
        if (fails(planned(Call::name))) return static_cast<decltype(REAL.name(args...))>(failed);      \
        return REAL.name(args...);                                                                     \
    }

void wrap_file_calls() {
    sys.CreateFileA = [](auto name, auto access, auto share, auto security, auto creation, auto flags, auto templ) {
        if (fails(planned(Call::CreateFileA, (access & GENERIC_WRITE) != 0))) return INVALID_HANDLE_VALUE;
        return REAL.CreateFileA(name, access, share, security, creation, flags, templ);
    };
    WRAP(SetFilePointer, INVALID_SET_FILE_POINTER);
    WRAP(GetFileSizeEx, FALSE);
    WRAP(GetFileInformationByHandle, FALSE);
    WRAP(identify_file, FALSE);
    WRAP(FlushFileBuffers, FALSE);
    // A failed close still releases the handle, as a close that reports a
    // late write error does.
    sys.CloseHandle = [](auto handle) -> BOOL {
        const Fault* fault = planned(Call::CloseHandle);
        BOOL closed = REAL.CloseHandle(handle);
        return fails(fault) ? FALSE : closed;
    };
    WRAP(MoveFileExA, FALSE);
    WRAP(DeleteFileA, FALSE);
}

void wrap_transfers() {
    sys.ReadFile = [](auto file, auto buffer, auto count, auto got, auto overlapped) -> BOOL {
        const Fault* fault = planned(Call::ReadFile);
        *got = 0;
        if (fault && fault->failure == Failure::EmptyRead) return TRUE;
        if (fails(fault)) return FALSE;
        BOOL ok = REAL.ReadFile(file, buffer, count, got, overlapped);
        g_log.back().bytes = *got;
        return ok;
    };
    sys.WriteFile = [](auto file, auto buffer, auto count, auto written, auto overlapped) -> BOOL {
        const Fault* fault = planned(Call::WriteFile);
        if (fault && fault->failure == Failure::ShortWrite) count /= 2;
        if (!fails(fault)) return REAL.WriteFile(file, buffer, count, written, overlapped);
        *written = 0;
        return FALSE;
    };
}

// The search and the hand-off to the desktop, which starts nothing here;
// the run's pauses and key wait cost nothing.
void wrap_the_rest() {
    WRAP(FindFirstFileA, INVALID_HANDLE_VALUE);
    WRAP(FindNextFileA, FALSE);
    WRAP(GetFullPathNameA, 0);
    sys.ShellExecuteExA = [](auto info) -> BOOL {
        g_opened.emplace_back(info->lpFile);
        return fails(planned(Call::ShellExecuteExA)) ? FALSE : TRUE;
    };
    sys.Sleep = [](auto ms) { g_slept_ms += ms; };
    sys.wait_for_key = [] { ++g_key_waits; };
}

}  // namespace

const char* call_name(Call call) {
    static const char* const names[] = {
        "CreateFileA",      "SetFilePointer", "GetFileSizeEx", "GetFileInformationByHandle", "identify_file",
        "ReadFile",         "WriteFile",      "FlushFileBuffers", "CloseHandle", "MoveFileExA", "DeleteFileA",
        "FindFirstFileA",   "FindNextFileA",  "GetFullPathNameA", "ShellExecuteExA"};
    static_assert(sizeof names / sizeof names[0] == static_cast<size_t>(Call::Count));
    return names[static_cast<int>(call)];
}

void arm_faults(const std::vector<Fault>& faults) {
    g_faults = faults;
    g_fired = 0;
    for (auto& count : g_counts) count = 0;
    g_log.clear();
    g_opened.clear();
    g_key_waits = 0;
    g_slept_ms = 0;
    wrap_file_calls();
    wrap_transfers();
    wrap_the_rest();
}

void disarm_faults() { sys = PlatformCalls{}; }

unsigned faults_fired() { return g_fired; }
const std::vector<CallRecord>& call_log() { return g_log; }
const std::vector<std::string>& opened_paths() { return g_opened; }
unsigned key_waits() { return g_key_waits; }
unsigned long slept_ms() { return g_slept_ms; }
