#include "fault_platform.h"

#include <unistd.h>

// The platform functions are C++ functions, so --wrap names their mangled
// symbols. A name that no longer matches fails the link (no __real_ symbol).
extern "C" {
HANDLE __real__Z11CreateFileAPKcjjP19SECURITY_ATTRIBUTESjjPv(LPCSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD,
                                                               DWORD, HANDLE);
DWORD __real__Z14SetFilePointerPviPij(HANDLE, LONG, PLONG, DWORD);
BOOL __real__Z13GetFileSizeExPvP13LARGE_INTEGER(HANDLE, LARGE_INTEGER*);
BOOL __real__Z8ReadFilePvS_jPjS_(HANDLE, LPVOID, DWORD, LPDWORD, void*);
BOOL __real__Z9WriteFilePvPKvjPjS_(HANDLE, LPCVOID, DWORD, LPDWORD, void*);
BOOL __real__Z16FlushFileBuffersPv(HANDLE);
BOOL __real__Z11CloseHandlePv(HANDLE);
BOOL __real__Z11MoveFileExAPKcS0_j(LPCSTR, LPCSTR, DWORD);
}

namespace {

FaultPlan g_plan;
bool g_fired = false;
unsigned g_counts[static_cast<int>(Call::Count)];
std::vector<CallRecord> g_log;
std::vector<std::string> g_opened;
unsigned g_key_waits = 0;
unsigned long g_slept_ms = 0;

// Logs the call; true when this is the one to fail, with the error left set.
bool should_fail(Call call, bool write_access = false) {
    g_log.push_back({call, write_access});
    unsigned n = ++g_counts[static_cast<int>(call)];
    if (g_plan.call != call || n < g_plan.nth || n - g_plan.nth >= g_plan.repeat || g_plan.short_write ||
        g_plan.empty_read)
        return false;
    g_fired = true;
    SetLastError(g_plan.error);
    return true;
}

}  // namespace

const char* call_name(Call call) {
    static const char* const names[] = {"CreateFileA", "SetFilePointer", "GetFileSizeEx",   "ReadFile",
                                        "WriteFile",   "FlushFileBuffers", "CloseHandle", "MoveFileExA"};
    return names[static_cast<int>(call)];
}

void arm_fault(const FaultPlan& plan) {
    disarm_faults();
    g_plan = plan;
}

void disarm_faults() {
    g_plan = FaultPlan{};
    g_fired = false;
    for (auto& count : g_counts) count = 0;
    g_log.clear();
    g_opened.clear();
    g_key_waits = 0;
    g_slept_ms = 0;
}

bool fault_fired() { return g_fired; }
const std::vector<CallRecord>& call_log() { return g_log; }
const std::vector<std::string>& opened_paths() { return g_opened; }
unsigned key_waits() { return g_key_waits; }
unsigned long slept_ms() { return g_slept_ms; }

extern "C" {

HANDLE __wrap__Z11CreateFileAPKcjjP19SECURITY_ATTRIBUTESjjPv(LPCSTR name, DWORD access, DWORD share,
                                                               LPSECURITY_ATTRIBUTES security, DWORD creation,
                                                               DWORD flags, HANDLE templ) {
    if (should_fail(Call::CreateFile, (access & GENERIC_WRITE) != 0)) return INVALID_HANDLE_VALUE;
    return __real__Z11CreateFileAPKcjjP19SECURITY_ATTRIBUTESjjPv(name, access, share, security, creation, flags,
                                                                  templ);
}

DWORD __wrap__Z14SetFilePointerPviPij(HANDLE file, LONG distance, PLONG high, DWORD method) {
    if (should_fail(Call::SetFilePointer)) return INVALID_SET_FILE_POINTER;
    return __real__Z14SetFilePointerPviPij(file, distance, high, method);
}

BOOL __wrap__Z13GetFileSizeExPvP13LARGE_INTEGER(HANDLE file, LARGE_INTEGER* size) {
    if (should_fail(Call::GetFileSizeEx)) return FALSE;
    return __real__Z13GetFileSizeExPvP13LARGE_INTEGER(file, size);
}

BOOL __wrap__Z8ReadFilePvS_jPjS_(HANDLE file, LPVOID buffer, DWORD count, LPDWORD read, void* overlapped) {
    if (should_fail(Call::ReadFile)) {
        *read = 0;
        return FALSE;
    }
    // The end of the input, early: as if another process had cut the file.
    if (g_plan.empty_read && g_plan.call == Call::ReadFile && g_counts[static_cast<int>(Call::ReadFile)] == g_plan.nth) {
        g_fired = true;
        *read = 0;
        return TRUE;
    }
    return __real__Z8ReadFilePvS_jPjS_(file, buffer, count, read, overlapped);
}

BOOL __wrap__Z9WriteFilePvPKvjPjS_(HANDLE file, LPCVOID buffer, DWORD count, LPDWORD written, void* overlapped) {
    if (should_fail(Call::WriteFile)) {
        *written = 0;
        return FALSE;
    }
    // A short write: the device takes half and says all is well.
    if (g_plan.short_write && g_plan.call == Call::WriteFile &&
        g_counts[static_cast<int>(Call::WriteFile)] == g_plan.nth) {
        g_fired = true;
        return __real__Z9WriteFilePvPKvjPjS_(file, buffer, count / 2, written, overlapped);
    }
    return __real__Z9WriteFilePvPKvjPjS_(file, buffer, count, written, overlapped);
}

BOOL __wrap__Z16FlushFileBuffersPv(HANDLE file) {
    if (should_fail(Call::FlushFileBuffers)) return FALSE;
    return __real__Z16FlushFileBuffersPv(file);
}

// A failed close still releases the handle, as a close that reports a
// late write error does.
BOOL __wrap__Z11CloseHandlePv(HANDLE handle) {
    bool fail = should_fail(Call::CloseHandle);
    BOOL ok = __real__Z11CloseHandlePv(handle);
    if (!fail) return ok;
    SetLastError(g_plan.error);
    return FALSE;
}

BOOL __wrap__Z11MoveFileExAPKcS0_j(LPCSTR from, LPCSTR to, DWORD flags) {
    if (should_fail(Call::MoveFileEx)) return FALSE;
    return __real__Z11MoveFileExAPKcS0_j(from, to, flags);
}

// The planned error is one that another program's open handle causes, if
// the plan says so; no other is (POSIX has none).
bool __wrap__Z20is_held_for_a_momentjb(DWORD error, bool) { return g_plan.held && error == g_plan.error; }

// The run's pauses and key wait cost nothing here; the desktop is not asked.
void __wrap__Z5Sleepj(DWORD ms) { g_slept_ms += ms; }

void __wrap__Z12wait_for_keyv() { ++g_key_waits; }

BOOL __wrap__Z15ShellExecuteExAP17SHELLEXECUTEINFOA(SHELLEXECUTEINFOA* info) {
    g_opened.emplace_back(info->lpFile);
    return TRUE;
}

}  // extern "C"
