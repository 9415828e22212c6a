// Runs the built program as a user would, in a scratch folder, and captures
// what it prints, its exit status and what it hands to the desktop.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "support.h"

// The program's command line, from --program=... on the suite's own command
// line (for example "wine build/windows/dl2torrent.exe").
std::vector<std::string>& program_command();

struct RunResult {
    int status = -1;   // the exit status, or 128 + signal
    std::string out;   // everything written to standard output
};

// A scratch folder holding work/ (the program's current directory) and
// bin/, first on PATH, with a recording stand-in for the desktop opener.
class EndToEndTest : public ScratchDirTest {
protected:
    void SetUp() override;
    std::filesystem::path work(const std::string& name = {}) const { return path("work") / name; }
    // Runs the program in work/ with standard input closed and no terminal.
    RunResult run(const std::vector<std::string>& args = {}) const;
    // The same, with `before_exec` run in the child just before the program
    // starts (limits, signal dispositions, credentials), and `after_first_line`
    // run in the suite once the program's first line has arrived.
    RunResult run_with(const std::vector<std::string>& args, const std::function<void()>& before_exec,
                       const std::function<void()>& after_first_line = {}) const;
    // Starts the program and returns once its first line has arrived; then
    // whether it was still running 200 ms later, and that line.
    bool still_running_after_first_line(std::string* line) const;
    // The paths the desktop was asked to open, one per line; waits a little
    // for the opener, which runs on after the program.
    std::string opened() const;
    // Everything in work/, sorted.
    std::vector<std::string> work_listing() const { return listing("work"); }
};
