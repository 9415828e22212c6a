// What the platform layer reports differently on Windows, on POSIX systems
// and on emscripten's (the page's, and Node's for the tests), gathered in
// one table; the tests check the same behaviour on all.
#pragma once

#include <cstdint>
#include <filesystem>

#include "platform.h"

struct PlatformExpect {
    bool windows;
    DWORD error_is_directory;  // a directory opened, or replaced, as a file
    DWORD error_no_directory;  // a path through a directory that does not exist
    bool signals;              // interruptions come as signals, which a hold blocks
    bool working_directory_goes;  // the working directory can be deleted, and then has no name
};

#if defined(_WIN32)
constexpr PlatformExpect PLATFORM = {true, ERROR_ACCESS_DENIED, ERROR_PATH_NOT_FOUND, false, false};
#elif defined(__EMSCRIPTEN__)
constexpr PlatformExpect PLATFORM = {false, static_cast<DWORD>(EISDIR), static_cast<DWORD>(ENOENT), false, false};
#else
constexpr PlatformExpect PLATFORM = {false, static_cast<DWORD>(EISDIR), static_cast<DWORD>(ENOENT), true, true};
#endif

// Sets the file's last-write time to `ticks` of FILETIME (100 ns since
// 1601), to the tick, with the system's own call; false when that fails.
bool set_write_time(const std::filesystem::path& path, uint64_t ticks);

// The ANSI code page the A functions use on Windows; 0 elsewhere.
unsigned ansi_code_page();
