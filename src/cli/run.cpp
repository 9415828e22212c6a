#include "run.h"

#include <cstdio>
#include <cstring>
#include <iterator>

#include "export.h"
#include "input.h"
#include "locator.h"
#include "newest.h"
#include "torrent_check.h"
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

// Says what failed, with the system error code, then fails.
int fail_with_error(const char* what, DWORD error) {
    console_print("%s!  Error %lu\n", what, static_cast<unsigned long>(error));
    return fail_and_wait();
}

void print_usage() {
    console_print(
        "Usage: dl2torrent [PATTERN...]\n"
        "Saves the torrent embedded in the newest downloader that matches a PATTERN\n"
        "as NAME.torrent beside it, then opens it with the registered application.\n"
        "A PATTERN is a wildcard (* and ?) that may start with a directory;\n"
        "the default is \"%s\" in the current directory.\n"
        "Exit status: 0 when the torrent was saved or the file holds none;\n"
        "1 when nothing matches, the file cannot be opened or read, the torrent\n"
        "in it is incomplete, or the save fails.\n"
        "More in the manual page: man dl2torrent (on Windows: dl2torrent.txt beside the .exe).\n",
        DEFAULT_PATTERN);
}

// No pattern matched: names every pattern as given, joined by blanks, and
// the reason when a search failed for another than a missing file.
int report_no_match(const char* const* patterns, int count, DWORD error) {
    console_print("Could not find any %s", patterns[0]);
    for (int i = 1; i < count; ++i) console_print(" %s", patterns[i]);
    console_print("\n");
    if (error != NO_ERROR) console_print("  Error %lu\n", static_cast<unsigned long>(error));
    return fail_and_wait();
}

// The open failed; says why and, when it fits, where we are.
int report_open_failure(DWORD error) {
    console_print("Could not open input file!  Error %lu\n", static_cast<unsigned long>(error));
    char directory[MAX_PATH];
    DWORD length = sys.GetCurrentDirectoryA(sizeof directory, directory);
    if (length > 0 && length < sizeof directory) console_print("  current directory %s\n", directory);
    return fail_and_wait();
}

// Names the output, saves the torrent there and opens it.
int save_and_open(HANDLE input, const char* input_path, PayloadLocation torrent) {
    char output[MAX_PATH];
    if (!make_output_name(input_path, output, sizeof output)) {
        console_print("Output path is too long!\n");
        return fail_and_wait();
    }
    console_print("Saving torrent to %s...\n", output);
    // An input already named .torrent would be replaced by its own payload.
    if (is_same_file(input, output)) {
        console_print("Could not save torrent!  It would replace the input file\n");
        return fail_and_wait();
    }
    DWORD error = NO_ERROR;
    if (!save_payload(input, output, torrent, &error)) return fail_with_error("Could not save torrent", error);
    open_with_registered_application(output);
    return EXIT_OK;
}

// Finds the payload in the open input, checks that it is a torrent and saves it.
int extract_payload(HANDLE input, const char* input_path) {
    LocateResult payload = locate_payload(input);
    if (payload.kind == LocateResult::READ_FAILED) return fail_with_error("Could not read input file", payload.error);
    if (payload.kind == LocateResult::NOTHING) return EXIT_OK;
    TorrentCheck torrent = check_torrent(input, payload.value);
    switch (torrent.kind) {
    case TorrentCheck::READ_FAILED: return fail_with_error("Could not read input file", torrent.error);
    case TorrentCheck::NOTHING: return EXIT_OK;
    case TorrentCheck::INCOMPLETE:
        console_print("Torrent is incomplete!  The download may not have finished\n");
        return fail_and_wait();
    case TorrentCheck::FOUND: break;
    }
    PayloadLocation where = {payload.value.offset, torrent.length};
    console_print("Torrent should be at 0x%lx len 0x%lx\n", static_cast<unsigned long>(where.offset),
                  static_cast<unsigned long>(where.length));
    return save_and_open(input, input_path, where);
}

// Opens the input, checks its size, pauses and extracts from it.
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
    int64_t size;
    DWORD error = NO_ERROR;
    if (!input_size(input.get(), &size, &error)) return report_open_failure(error);
    if (size > MAX_INPUT_SIZE) {
        console_print("Input file is too large!  It must be smaller than 2 GiB\n");
        return fail_and_wait();
    }
    sys.Sleep(OPEN_DELAY_MS);
    return extract_payload(input.get(), input_path);
}

}  // namespace

int run(int argc, char** argv) {
    static const char* const DEFAULT_PATTERNS[] = {DEFAULT_PATTERN};
    // Every argument is a pattern: a shell that expands an unquoted one
    // passes each match as an argument of its own, and so does Windows
    // for several files dropped onto the program.
    const char* const* patterns = argv + 1;
    int count = argc - 1;
    // None given; argc is even 0 for a program started with no argv[0].
    if (count <= 0) {
        patterns = DEFAULT_PATTERNS;
        count = static_cast<int>(std::size(DEFAULT_PATTERNS));
    }
    if (std::strcmp(patterns[0], "-h") == 0 || std::strcmp(patterns[0], "--help") == 0) {
        print_usage();
        return EXIT_OK;
    }
    if (std::strcmp(patterns[0], "--version") == 0) {
        console_print("dl2torrent %s\n", DL2TORRENT_VERSION);
        return EXIT_OK;
    }
    Match newest = {};
    DWORD error;
    if (!find_newest_of(patterns, count, &newest, &error)) return report_no_match(patterns, count, error);
    char input_path[MAX_PATH];
    if (!compose_input_path(newest.pattern, newest.name, input_path, sizeof input_path)) {
        console_print("Input path is too long!\n");
        return fail_and_wait();
    }
    return extract_from(input_path);
}
