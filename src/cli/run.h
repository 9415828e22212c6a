// One extraction run: from the command line to the exit status. The run
// prints every message of the program and alone decides the exit status.
#pragma once

#include "platform.h"

constexpr const char DEFAULT_PATTERN[] = "Quv-*-downloader.exe";
// The pause between opening the input and searching it: a browser or a
// virus scanner that has just finished writing or renaming the downloader
// gets a moment to let go of it, and a double-click's console shows the
// first line before the rest follows.
constexpr DWORD OPEN_DELAY_MS = 1000;

// Runs the program with its command line; returns the exit status.
int run(int argc, char** argv);
