// Starts the built program as a separate process, for the end-to-end suites
// and the benchmark alike (POSIX): an argument list, a directory, PATH and
// the environment, and the caller's own set-up in the child.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

struct rusage;

// A command line given as one text, such as --program="wine dl2torrent.exe":
// its words, each to become one argument.
std::vector<std::string> command_words(const std::string& text);

// Members left out of an initializer are empty.
struct Launch {
    std::vector<std::string> argv{};  // the program and its arguments, one string each
    std::string cwd{};                // the child's directory; empty: this one's
    std::string path_first{};         // a directory put first on PATH
    std::vector<std::pair<std::string, std::string>> env{};
    std::function<void()> in_child{}; // runs last before the exec: descriptors, limits
    int pass_fd = -1;                 // handed to the child as descriptor `pass_as`, and closed here
    int pass_as = -1;
};

// Starts the program in a child and returns its process id, or -1. A child
// that cannot enter its directory exits with 126, one that cannot run the
// program with 127.
pid_t launch(const Launch& how);

// Waits for the child to end: its exit status, or 128 + the signal that
// ended it. Its resource use goes to *usage when given.
int wait_status(pid_t pid, struct rusage* usage = nullptr);
