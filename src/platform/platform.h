// The operating-system services the extraction logic calls. The Windows
// names and types come from native.h: on Windows that is <windows.h>, on
// Linux and macOS a small POSIX stand-in. Only what both sides need to say
// in the same words lives here.
#pragma once

#include <cstddef>

#include "native.h"

// Owns a file handle from CreateFileA; CloseHandle runs on every path.
class ScopedHandle {
public:
    explicit ScopedHandle(HANDLE handle = INVALID_HANDLE_VALUE) : handle_(handle) {}
    ~ScopedHandle() { reset(); }
    ScopedHandle(const ScopedHandle&) = delete;
    ScopedHandle& operator=(const ScopedHandle&) = delete;

    HANDLE get() const { return handle_; }
    bool valid() const { return handle_ != INVALID_HANDLE_VALUE; }
    // Closes the handle held so far and takes `next`; false when the close failed.
    bool reset(HANDLE next = INVALID_HANDLE_VALUE) {
        bool ok = true;
        if (valid()) ok = CloseHandle(handle_) != FALSE;
        handle_ = next;
        return ok;
    }

private:
    HANDLE handle_;
};

// Owns a search handle from FindFirstFileA; FindClose runs on every path.
class ScopedFind {
public:
    explicit ScopedFind(HANDLE handle) : handle_(handle) {}
    ~ScopedFind() {
        if (valid()) FindClose(handle_);
    }
    ScopedFind(const ScopedFind&) = delete;
    ScopedFind& operator=(const ScopedFind&) = delete;

    HANDLE get() const { return handle_; }
    bool valid() const { return handle_ != INVALID_HANDLE_VALUE; }

private:
    HANDLE handle_;
};

// Holds the console in the state the tool prints in (the UTF-8 output code
// page on Windows) and puts back what was there before.
class ConsoleScope {
public:
    ConsoleScope();
    ~ConsoleScope();
    ConsoleScope(const ConsoleScope&) = delete;
    ConsoleScope& operator=(const ConsoleScope&) = delete;

private:
    [[maybe_unused]] unsigned saved_;  // the code page to restore; POSIX keeps none
};

// Prints one printf-style message to standard output and flushes it, so a
// pause that follows never hides it when the output is a pipe.
void console_print(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// Blocks until one key is pressed on the console, without echo. Returns at
// once when there is no console to read from.
void wait_for_key();

// Length of the directory part of a path, its last separator included;
// 0 when the path has none.
size_t directory_part_length(const char* path);
