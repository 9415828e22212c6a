#include "launch.h"

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <sstream>

std::vector<std::string> command_words(const std::string& text) {
    std::istringstream words(text);
    std::vector<std::string> argv;
    for (std::string word; words >> word;) argv.push_back(word);
    return argv;
}

pid_t launch(const Launch& how) {
    if (how.argv.empty()) return -1;
    // Everything the child needs is made before the fork.
    std::vector<std::string> argv = how.argv;
    std::vector<char*> raw;
    for (auto& arg : argv) raw.push_back(arg.data());
    raw.push_back(nullptr);
    const char* path = std::getenv("PATH");
    std::string path_value = how.path_first + ":" + (path ? path : "/usr/bin:/bin");
    pid_t pid = fork();
    if (pid != 0) {
        if (how.pass_fd >= 0) close(how.pass_fd);
        return pid;
    }
    if (how.pass_fd >= 0 && (dup2(how.pass_fd, how.pass_as) < 0 || close(how.pass_fd) != 0)) _exit(126);
    if (!how.cwd.empty() && chdir(how.cwd.c_str()) != 0) _exit(126);
    if (!how.path_first.empty()) setenv("PATH", path_value.c_str(), 1);
    for (const auto& [name, value] : how.env) setenv(name.c_str(), value.c_str(), 1);
    if (how.in_child) how.in_child();
    execvp(raw[0], raw.data());
    _exit(127);
}

int wait_status(pid_t pid, struct rusage* usage) {
    int status = 0;
    while (wait4(pid, &status, 0, usage) < 0) {
        if (errno != EINTR) return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
