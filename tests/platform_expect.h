// What the platform layer reports differently on Windows and on POSIX
// systems, gathered in one table; the tests check the same behaviour on both.
#pragma once

#include <cstdint>
#include <filesystem>

#include "platform.h"

struct PlatformExpect {
    bool windows;
    DWORD error_is_directory;  // a directory opened, or replaced, as a file
    DWORD error_no_directory;  // a path through a directory that does not exist
};

#ifdef _WIN32
constexpr PlatformExpect PLATFORM = {true, ERROR_ACCESS_DENIED, ERROR_PATH_NOT_FOUND};
#else
constexpr PlatformExpect PLATFORM = {false, static_cast<DWORD>(EISDIR), static_cast<DWORD>(ENOENT)};
#endif

// Sets the file's last-write time to `ticks` of FILETIME (100 ns since
// 1601), to the tick, with the system's own call; false when that fails.
bool set_write_time(const std::filesystem::path& path, uint64_t ticks);

// The ANSI code page the A functions use on Windows; 0 elsewhere.
unsigned ansi_code_page();
