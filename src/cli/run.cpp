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
    sys.wait_for_key();
    return EXIT_FAILED;
}

void print_usage() {
    console_print(
        "Usage: dl2torrent [PATTERN...]\n"
        "Saves the torrent embedded in the newest downloader that matches a PATTERN\n"
        "as NAME.torrent beside it, then opens it with the registered application.\n"
        "A PATTERN is a wildcard (* and ?) that may start with a directory;\n"
        "the default is \"%s\" in the current directory.\n"
        "Exit status: 0 when the torrent was saved or the file holds none;\n"
        "1 when nothing matches, the file cannot be opened or read, or the save fails.\n"
        "More in the manual page: man dl2torrent (on Windows: README.md beside the .exe).\n",
        DEFAULT_PATTERN);
}

// Failure A: names every pattern as given, joined by blanks.
int report_no_match(const char* const* patterns, int count) {
    console_print("Could not find any %s", patterns[0]);
    for (int i = 1; i < count; ++i) console_print(" %s", patterns[i]);
    console_print("\n");
    return fail_and_wait();
}

// Failure B: the open failed; says why and, when it fits, where we are.
int report_open_failure(DWORD error) {
    console_print("Could not open input file!  Error %lu\n", static_cast<unsigned long>(error));
    char directory[MAX_PATH];
    DWORD length = sys.GetCurrentDirectoryA(sizeof directory, directory);
    if (length > 0 && length < sizeof directory) console_print("  current directory %s\n", directory);
    return fail_and_wait();
}

// Ends a run whose input could not be read: a failure, not an empty file.
int report_read_failure(DWORD error) {
    console_print("Could not read input file!  Error %lu\n", static_cast<unsigned long>(error));
    return fail_and_wait();
}

// The input's size as it is now, after the pause; false, with the error
// code, when it cannot be had.
bool input_end(HANDLE input, DWORD* end, DWORD* error) {
    *end = sys.SetFilePointer(input, 0, nullptr, FILE_END);
    if (*end != INVALID_SET_FILE_POINTER) return true;
    *error = GetLastError();
    return false;
}

// Resolves a payload that runs to the end of the input into a length.
void complete_location(PayloadLocation* where, DWORD end) {
    if (where->length != 0) return;
    // Sections said to reach past the end (a cut image) leave nothing to copy,
    // rather than a length that wraps around.
    where->length = end > where->offset ? end - where->offset : 0;
}

// True when the payload holds no bytes: an image with nothing appended, or
// one cut inside its sections. Such a file is no torrent, and saving it
// would replace an earlier one. A start beyond a signed 32-bit offset is
// not empty but damaged, and fails in the save.
bool holds_nothing(PayloadLocation where, DWORD end) {
    return where.offset <= MAX_INPUT_SIZE && (where.length == 0 || where.offset >= end);
}

// Opens the input, checks its size, finds the payload and exports it.
int extract_from(const char* input_path) {
    console_print("Extracting from %s...\n", input_path);
    // Shared for deleting too: a browser or a virus scanner may still move,
    // delete or quarantine the downloader while this handle reads it.
    ScopedHandle input;
    bool opened = retry_while_held(Attempt::Opening, [&] {
        input.reset(sys.CreateFileA(input_path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_ARCHIVE, nullptr));
        return input.valid();
    });
    if (!opened) return report_open_failure(GetLastError());
    LARGE_INTEGER size;
    if (!sys.GetFileSizeEx(input.get(), &size)) return report_open_failure(GetLastError());
    if (size.QuadPart > MAX_INPUT_SIZE) {
        console_print("Input file is too large!  It must be smaller than 2 GiB\n");
        return fail_and_wait();
    }
    sys.Sleep(OPEN_DELAY_MS);
    DWORD error = NO_ERROR;
    PayloadLocation where = locate_payload(input.get(), &error);
    if (error != NO_ERROR) return report_read_failure(error);
    if (where.offset == 0) return EXIT_OK;
    DWORD end = 0;
    if (!input_end(input.get(), &end, &error)) return report_read_failure(error);
    complete_location(&where, end);
    if (holds_nothing(where, end)) return EXIT_OK;
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

bool find_newest_match(const char* pattern, Match* newest) {
    WIN32_FIND_DATAA match;
    ScopedFind search(sys.FindFirstFileA(pattern, &match));
    if (!search.valid()) return false;
    bool first = true;
    do {
        if (!first && !is_newer(match.ftLastWriteTime, newest->time)) continue;
        first = false;
        newest->time = match.ftLastWriteTime;
        std::snprintf(newest->name, sizeof newest->name, "%s", match.cFileName);
    } while (sys.FindNextFileA(search.get(), &match));
    return true;
}

const char* find_newest_of(const char* const* patterns, int count, Match* newest) {
    const char* chosen = nullptr;
    for (int i = 0; i < count; ++i) {
        Match match = {};
        if (!find_newest_match(patterns[i], &match)) continue;
        if (chosen && !is_newer(match.time, newest->time)) continue;
        *newest = match;
        chosen = patterns[i];
    }
    return chosen;
}

bool compose_input_path(const char* pattern, const char* name, char* path, size_t size) {
    int directory = static_cast<int>(directory_part_length(pattern));
    int n = std::snprintf(path, size, "%.*s%s", directory, pattern, name);
    return n >= 0 && static_cast<size_t>(n) < size;
}

int run(int argc, char** argv) {
    static const char* const DEFAULT_PATTERNS[] = {DEFAULT_PATTERN};
    // Every argument is a pattern: a shell that expands an unquoted one
    // passes each match as an argument of its own, and so does Windows
    // for several files dropped onto the program.
    const char* const* patterns = argc < 2 ? DEFAULT_PATTERNS : argv + 1;
    int count = argc < 2 ? 1 : argc - 1;
    if (std::strcmp(patterns[0], "-h") == 0 || std::strcmp(patterns[0], "--help") == 0) {
        print_usage();
        return EXIT_OK;
    }
    if (std::strcmp(patterns[0], "--version") == 0) {
        console_print("dl2torrent %s\n", DL2TORRENT_VERSION);
        return EXIT_OK;
    }
    Match newest = {};
    const char* pattern = find_newest_of(patterns, count, &newest);
    if (!pattern) return report_no_match(patterns, count);
    char input_path[MAX_PATH];
    if (!compose_input_path(pattern, newest.name, input_path, sizeof input_path)) {
        console_print("Input path is too long!\n");
        return fail_and_wait();
    }
    return extract_from(input_path);
}
