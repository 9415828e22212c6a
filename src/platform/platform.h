// The operating-system services the extraction logic calls. The Windows
// names and types come from native.h: on Windows that is <windows.h>, on
// Linux and macOS a small POSIX stand-in. The logic makes those calls
// through the table in calls.h. Only what both sides need to say in the
// same words lives here.
#pragma once

#include <algorithm>
#include <cstddef>

#include "calls.h"
#include "native.h"

// Handle owners, as LLVM's ScopedHandle has them: the traits give the
// handle's type, the value that holds nothing and the call that closes it.
// A file handle from CreateFileA, closed with CloseHandle.
struct FileTraits {
    using Handle = HANDLE;
    static Handle invalid() { return INVALID_HANDLE_VALUE; }
    static bool close(Handle handle) { return sys.CloseHandle(handle) != FALSE; }
};

// A search handle from FindFirstFileA, closed with FindClose.
struct FindTraits {
    using Handle = HANDLE;
    static Handle invalid() { return INVALID_HANDLE_VALUE; }
    static bool close(Handle handle) { return sys.FindClose(handle) != FALSE; }
};

// Owns one handle; the traits' close call runs on every path. ScopedHandle
// alone owns a file handle.
template <typename Traits = FileTraits>
class ScopedHandle {
public:
    using Handle = typename Traits::Handle;
    explicit ScopedHandle(Handle handle = Traits::invalid()) : handle_(handle) {}
    ~ScopedHandle() { reset(); }
    ScopedHandle(const ScopedHandle&) = delete;
    ScopedHandle& operator=(const ScopedHandle&) = delete;

    Handle get() const { return handle_; }
    bool valid() const { return handle_ != Traits::invalid(); }
    // Closes the handle held so far and takes `next`; false when the close failed.
    bool reset(Handle next = Traits::invalid()) {
        bool ok = !valid() || Traits::close(handle_);
        handle_ = next;
        return ok;
    }

private:
    Handle handle_;
};

using ScopedFind = ScopedHandle<FindTraits>;

// Sets the process up for the run and undoes it at the end. On POSIX: a
// write to a pipe nobody reads or past the file size limit fails instead
// of ending the run, and closed standard descriptors are opened on
// /dev/null. On Windows: the console prints in the ANSI code page, and
// gets its own back at the end, also when Ctrl+C or a closed window ends
// the run.
class ProcessSetup {
public:
    ProcessSetup();
    ~ProcessSetup();
    ProcessSetup(const ProcessSetup&) = delete;
    ProcessSetup& operator=(const ProcessSetup&) = delete;
};

// Prints one printf-style message to standard output and flushes it, so a
// pause that follows never hides it when the output is a pipe.
void console_print(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// Names a file to remove when the run is interrupted (Ctrl+C, a closed
// console window, SIGTERM, SIGHUP, SIGQUIT) before the name is withdrawn
// with nullptr. The path is copied now, so the removal then is a single call
// that is safe inside a signal handler.
void remove_if_interrupted(const char* path);

// While one lives, an interruption waits, so that a file created meanwhile
// and named to remove_if_interrupted is never left behind in between. Holds
// nest: each puts back the state from before it, so only the outermost
// one's end lets an interruption through.
class InterruptionsHeld {
public:
    InterruptionsHeld();
    ~InterruptionsHeld();
    InterruptionsHeld(const InterruptionsHeld&) = delete;
    InterruptionsHeld& operator=(const InterruptionsHeld&) = delete;

private:
    InterruptionsSaved saved_;
};

// The kind of call whose failure may be another program's for a moment.
enum class Attempt {
    Opening,             // an open: only a sharing violation is; a denied access is real
    RenamingOrDeleting,  // a rename or a delete, which another handle can also deny
};

// True when `error` may come from another program that holds the file for
// a moment (a virus scanner, the search indexer, a sync client, a torrent
// client): worth trying again. Always false on POSIX, where files have no
// sharing modes.
bool is_held_for_a_moment(DWORD error, Attempt attempt);

// The longest that calls failing with such errors are tried again, in
// pauses that start at SHARING_RETRY_FIRST_MS and double up to
// SHARING_RETRY_LONGEST_MS.
constexpr DWORD SHARING_RETRY_BUDGET_MS = 2000;
constexpr DWORD SHARING_RETRY_FIRST_MS = 10;
constexpr DWORD SHARING_RETRY_LONGEST_MS = 250;

// Calls `attempt` (true on success, the reason left for GetLastError) until
// it succeeds, fails with an error that `held` does not take for a file
// held for a moment, or the budget of pauses is spent. GetLastError then
// holds the last failure.
template <typename Held, typename Call>
bool retry_while(Held held, Call attempt) {
    DWORD slept = 0;
    DWORD pause = SHARING_RETRY_FIRST_MS;
    while (!attempt()) {
        DWORD err = GetLastError();
        if (!held(err) || slept >= SHARING_RETRY_BUDGET_MS) {
            SetLastError(err);
            return false;
        }
        DWORD now = std::min(pause, SHARING_RETRY_BUDGET_MS - slept);
        sys.Sleep(now);
        slept += now;
        pause = std::min(2 * pause, SHARING_RETRY_LONGEST_MS);
    }
    return true;
}

// retry_while with is_held_for_a_moment's answer for this kind of call.
template <typename Call>
bool retry_while_held(Attempt kind, Call attempt) {
    return retry_while([kind](DWORD err) { return is_held_for_a_moment(err, kind); }, attempt);
}

// Length of the directory part of a path, its last separator included;
// 0 when the path has none.
size_t directory_part_length(const char* path);
