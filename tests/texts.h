// What the program prints, written out once for every suite: each line as
// a user reads it, built from its parts (paths, offsets, error codes).
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace texts {

inline const std::string PROMPT = "Press any key to exit..\n";
inline const std::string INCOMPLETE = "Torrent is incomplete!  The download may not have finished\n";
inline const std::string WOULD_REPLACE_INPUT = "Could not save torrent!  It would replace the input file\n";
inline const std::string TOO_LARGE = "Input file is too large!  It must be smaller than 2 GiB\n";
inline const std::string INPUT_PATH_TOO_LONG = "Input path is too long!\n";
inline const std::string OUTPUT_PATH_TOO_LONG = "Output path is too long!\n";

inline std::string extracting(const std::string& input) { return "Extracting from " + input + "...\n"; }

inline std::string located(uint64_t offset, uint64_t length) {
    char line[80];
    std::snprintf(line, sizeof line, "Torrent should be at 0x%llx len 0x%llx\n", static_cast<unsigned long long>(offset),
                  static_cast<unsigned long long>(length));
    return line;
}

inline std::string saving(const std::string& output) { return "Saving torrent to " + output + "...\n"; }

// The three lines of a run that saved.
inline std::string saved(const std::string& input, const std::string& output, uint64_t offset, uint64_t length) {
    return extracting(input) + located(offset, length) + saving(output);
}

// "Could not save torrent!  Error 5", and the like for `what`.
inline std::string failed(const std::string& what, unsigned long code) {
    return "Could not " + what + "!  Error " + std::to_string(code) + "\n";
}

// No match for `patterns` (as printed, blank between them); a search that
// failed for another reason says its error.
inline std::string not_found(const std::string& patterns, unsigned long code = 0) {
    return "Could not find any " + patterns + "\n" + (code ? "  Error " + std::to_string(code) + "\n" : "");
}

// An input that cannot be opened, and the current directory when it can be had.
inline std::string open_failed(unsigned long code, const std::string& cwd) {
    return failed("open input file", code) + (cwd.empty() ? "" : "  current directory " + cwd + "\n");
}

}  // namespace texts
