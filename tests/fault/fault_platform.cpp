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

// Logs the call; the fault planned for this occurrence of it, if any.
const Fault* planned(Call call, bool write_access = false) {
    g_log.push_back({call, write_access, 0});
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

// The wrappers take their parameter types from the table's entries, so
// they are the platform's own on each side.
void wrap_file_calls() {
    sys.CreateFileA = [](auto name, auto access, auto share, auto security, auto creation, auto flags, auto templ) {
        if (fails(planned(Call::CreateFileA, (access & GENERIC_WRITE) != 0))) return INVALID_HANDLE_VALUE;
        return REAL.CreateFileA(name, access, share, security, creation, flags, templ);
    };
    sys.SetFilePointer = [](auto file, auto distance, auto high, auto method) {
        if (fails(planned(Call::SetFilePointer))) return static_cast<DWORD>(INVALID_SET_FILE_POINTER);
        return REAL.SetFilePointer(file, distance, high, method);
    };
    sys.GetFileSizeEx = [](auto file, auto size) -> BOOL {
        if (fails(planned(Call::GetFileSizeEx))) return FALSE;
        return REAL.GetFileSizeEx(file, size);
    };
    sys.GetFileInformationByHandle = [](auto file, auto info) -> BOOL {
        if (fails(planned(Call::GetFileInformationByHandle))) return FALSE;
        return REAL.GetFileInformationByHandle(file, info);
    };
    sys.identify_file = [](auto path, auto info) -> BOOL {
        if (fails(planned(Call::identify_file))) return FALSE;
        return REAL.identify_file(path, info);
    };
    sys.FlushFileBuffers = [](auto file) -> BOOL {
        if (fails(planned(Call::FlushFileBuffers))) return FALSE;
        return REAL.FlushFileBuffers(file);
    };
    // A failed close still releases the handle, as a close that reports a
    // late write error does.
    sys.CloseHandle = [](auto handle) -> BOOL {
        const Fault* fault = planned(Call::CloseHandle);
        BOOL closed = REAL.CloseHandle(handle);
        return fails(fault) ? FALSE : closed;
    };
    sys.MoveFileExA = [](auto from, auto to, auto flags) -> BOOL {
        if (fails(planned(Call::MoveFileExA))) return FALSE;
        return REAL.MoveFileExA(from, to, flags);
    };
    sys.DeleteFileA = [](auto name) -> BOOL {
        if (fails(planned(Call::DeleteFileA))) return FALSE;
        return REAL.DeleteFileA(name);
    };
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
    sys.FindFirstFileA = [](auto pattern, auto data) {
        if (fails(planned(Call::FindFirstFileA))) return INVALID_HANDLE_VALUE;
        return REAL.FindFirstFileA(pattern, data);
    };
    sys.FindNextFileA = [](auto find, auto data) -> BOOL {
        if (fails(planned(Call::FindNextFileA))) return FALSE;
        return REAL.FindNextFileA(find, data);
    };
    sys.GetFullPathNameA = [](auto name, auto size, auto buffer, auto file_part) -> DWORD {
        if (fails(planned(Call::GetFullPathNameA))) return 0;
        return REAL.GetFullPathNameA(name, size, buffer, file_part);
    };
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
