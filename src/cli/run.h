// One extraction run: from the command line to the exit status.
#pragma once

#include <cstddef>

#include "platform.h"

constexpr const char DEFAULT_PATTERN[] = "Quv-*-downloader.exe";
// The pause between opening the input and searching it.
constexpr DWORD OPEN_DELAY_MS = 1000;
// Positions in the input are signed 32-bit, so larger inputs are refused.
constexpr long long MAX_INPUT_SIZE = 0x7FFFFFFFLL;

// True when `candidate` was written strictly later than `chosen`.
bool is_newer(const FILETIME& candidate, const FILETIME& chosen);

// A match of a pattern: its name, without a directory, and its last-write time.
struct Match {
    char name[MAX_PATH];
    FILETIME time;
};

// The newest match of `pattern`; on equal times the first match delivered
// wins. False when nothing matches.
bool find_newest_match(const char* pattern, Match* newest);

// The newest match of all `count` patterns, each searched in turn; on equal
// times the one delivered first wins, so an earlier pattern's. Returns the
// pattern it matched, or nullptr when none matches.
const char* find_newest_of(const char* const* patterns, int count, Match* newest);

// The pattern's directory part followed by `name`; false when it does not fit.
bool compose_input_path(const char* pattern, const char* name, char* path, size_t size);

// Runs the program with its command line; returns the exit status.
int run(int argc, char** argv);
