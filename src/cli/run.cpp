#include "run.h"

#include <cstdio>
#include <cstring>

#include "export.h"
#include "locator.h"
#include "version.h"

namespace {

constexpr int EXIT_OK = 0;
constexpr int EXIT_FAILED = 1;

// Ends a run that needs the user to see why: the prompt, a key, status 1.
int fail_and_wait() {
    console_print("Press any key to exit..\n");
    wait_for_key();
    return EXIT_FAILED;
}

void print_usage() {
    console_print(
        "Usage: dl2torrent [PATTERN]\n"
        "Saves the torrent embedded in the newest downloader that matches PATTERN\n"
        "as NAME.torrent beside it, then opens it with the registered application.\n"
        "PATTERN is a wildcard (* and ?) that may start with a directory;\n"
        "the default is \"%s\" in the current directory.\n"
        "Exit status: 0 when the torrent was saved or the file holds none;\n"
        "1 when nothing matches, the file cannot be opened or read, or the save fails.\n"
        "More in the manual page: man dl2torrent (on Windows: README.md beside the .exe).\n",
        DEFAULT_PATTERN);
}

// Failure B: the open failed; says why and, when it fits, where we are.
int report_open_failure(DWORD error) {
    console_print("Could not open input file!  Error %lu\n", static_cast<unsigned long>(error));
    char directory[MAX_PATH];
    DWORD length = GetCurrentDirectoryA(sizeof directory, directory);
    if (length > 0 && length < sizeof directory) console_print("  current directory %s\n", directory);
    return fail_and_wait();
}

// Ends a run whose input could not be read: a failure, not an empty file.
int report_read_failure(DWORD error) {
    console_print("Could not read input file!  Error %lu\n", static_cast<unsigned long>(error));
    return fail_and_wait();
}

// Resolves a payload that runs to the end of the input into a length; false,
// with the error code, when the end cannot be had.
bool complete_location(HANDLE input, PayloadLocation* where, DWORD* error) {
    if (where->length != 0) return true;
    DWORD end = SetFilePointer(input, 0, nullptr, FILE_END);
    if (end == INVALID_SET_FILE_POINTER) {
        *error = GetLastError();
        return false;
    }
    // Sections said to reach past the end (a cut image) leave nothing to copy,
    // rather than a length that wraps around.
    where->length = end > where->offset ? end - where->offset : 0;
    return true;
}

// Opens the input, checks its size, finds the payload and exports it.
int extract_from(const char* input_path) {
    console_print("Extracting from %s...\n", input_path);
    ScopedHandle input(CreateFileA(input_path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                   OPEN_EXISTING, FILE_ATTRIBUTE_ARCHIVE, nullptr));
    if (!input.valid()) return report_open_failure(GetLastError());
    LARGE_INTEGER size;
    if (!GetFileSizeEx(input.get(), &size)) return report_open_failure(GetLastError());
    if (size.QuadPart > MAX_INPUT_SIZE) {
        console_print("Input file is too large!  It must be smaller than 2 GiB\n");
        return fail_and_wait();
    }
    Sleep(OPEN_DELAY_MS);
    DWORD error = NO_ERROR;
    PayloadLocation where = locate_payload(input.get(), &error);
    if (error != NO_ERROR) return report_read_failure(error);
    if (where.offset == 0) return EXIT_OK;
    if (!complete_location(input.get(), &where, &error)) return report_read_failure(error);
    console_print("Torrent should be at 0x%lx len 0x%lx\n", static_cast<unsigned long>(where.offset),
                  static_cast<unsigned long>(where.length));
    if (!export_payload(input.get(), input_path, where)) return fail_and_wait();
    return EXIT_OK;
}

}  // namespace

bool is_newer(const FILETIME& candidate, const FILETIME& chosen) {
    if (candidate.dwHighDateTime != chosen.dwHighDateTime)
        return candidate.dwHighDateTime > chosen.dwHighDateTime;
    return candidate.dwLowDateTime > chosen.dwLowDateTime;
}

bool find_newest_match(const char* pattern, char* name, size_t size) {
    WIN32_FIND_DATAA match;
    ScopedFind search(FindFirstFileA(pattern, &match));
    if (!search.valid()) return false;
    FILETIME newest = match.ftLastWriteTime;
    std::snprintf(name, size, "%s", match.cFileName);
    while (FindNextFileA(search.get(), &match)) {
        if (!is_newer(match.ftLastWriteTime, newest)) continue;
        newest = match.ftLastWriteTime;
        std::snprintf(name, size, "%s", match.cFileName);
    }
    return true;
}

bool compose_input_path(const char* pattern, const char* name, char* path, size_t size) {
    int directory = static_cast<int>(directory_part_length(pattern));
    int n = std::snprintf(path, size, "%.*s%s", directory, pattern, name);
    return n >= 0 && static_cast<size_t>(n) < size;
}

int run(int argc, char** argv) {
    const char* pattern = argc < 2 ? DEFAULT_PATTERN : argv[1];
    if (std::strcmp(pattern, "-h") == 0 || std::strcmp(pattern, "--help") == 0) {
        print_usage();
        return EXIT_OK;
    }
    if (std::strcmp(pattern, "--version") == 0) {
        console_print("dl2torrent %s\n", DL2TORRENT_VERSION);
        return EXIT_OK;
    }
    char name[MAX_PATH];
    if (!find_newest_match(pattern, name, sizeof name)) {
        console_print("Could not find any %s\n", pattern);
        return fail_and_wait();
    }
    char input_path[MAX_PATH];
    if (!compose_input_path(pattern, name, input_path, sizeof input_path)) {
        console_print("Input path is too long!\n");
        return fail_and_wait();
    }
    return extract_from(input_path);
}
