#include "harness.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <sstream>
#include <thread>

namespace fs = std::filesystem;

extern char** environ;

std::vector<std::string>& program_command() {
    static std::vector<std::string> command;
    return command;
}

namespace {

constexpr auto OPENER_WAIT = std::chrono::seconds(5);

// Starts the program; its stdout is the returned pipe's read end.
pid_t spawn(const fs::path& cwd, const fs::path& bin, const std::vector<std::string>& args, int* out,
            const std::function<void()>& before_exec = {}) {
    std::vector<std::string> argv = program_command();
    argv.insert(argv.end(), args.begin(), args.end());
    int pipe_fds[2];
    if (pipe(pipe_fds) != 0) return -1;
    std::string path_env = bin.string() + ":" + (std::getenv("PATH") ? std::getenv("PATH") : "/usr/bin:/bin");
    pid_t pid = fork();
    if (pid == 0) {
        // No controlling terminal, so the key wait returns at once even when
        // the suite itself runs in one; standard input closed.
        setsid();
        dup2(pipe_fds[1], 1);
        close(pipe_fds[0]);
        close(pipe_fds[1]);
        close(0);
        if (chdir(cwd.c_str()) != 0) _exit(126);
        setenv("PATH", path_env.c_str(), 1);
        if (before_exec) before_exec();
        std::vector<char*> raw;
        for (auto& a : argv) raw.push_back(a.data());
        raw.push_back(nullptr);
        execvp(raw[0], raw.data());
        _exit(127);
    }
    close(pipe_fds[1]);
    *out = pipe_fds[0];
    return pid;
}

int wait_status(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace

void EndToEndTest::SetUp() {
    ASSERT_FALSE(program_command().empty()) << "run the suite with --program=COMMAND";
    ScratchDirTest::SetUp();
    fs::create_directories(path("work"));
    fs::create_directories(path("bin"));
    std::string log = path("bin/opened.log").string();
    write_file(path("bin/xdg-open"), "#!/bin/sh\nprintf '%s\\n' \"$1\" >> '" + log + "'\n");
    fs::permissions(path("bin/xdg-open"), fs::perms::owner_all);
}

RunResult EndToEndTest::run(const std::vector<std::string>& args) const { return run_with(args, {}); }

RunResult EndToEndTest::run_with(const std::vector<std::string>& args, const std::function<void()>& before_exec,
                                 const std::function<void()>& after_first_line) const {
    RunResult result;
    int out = -1;
    pid_t pid = spawn(work(), path("bin"), args, &out, before_exec);
    if (pid < 0) return result;
    if (after_first_line) {
        char c;
        while (read(out, &c, 1) == 1) {
            result.out.push_back(c);
            if (c == '\n') break;
        }
        after_first_line();
    }
    char buffer[4096];
    ssize_t n;
    while ((n = read(out, buffer, sizeof buffer)) != 0) {
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) break;
        result.out.append(buffer, static_cast<size_t>(n));
    }
    close(out);
    result.status = wait_status(pid);
    return result;
}

bool EndToEndTest::still_running_after_first_line(std::string* line) const {
    int out = -1;
    pid_t pid = spawn(work(), path("bin"), {}, &out);
    if (pid < 0) return false;
    char c;
    while (read(out, &c, 1) == 1) {
        line->push_back(c);
        if (c == '\n') break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    bool running = waitpid(pid, nullptr, WNOHANG) == 0;
    char rest[4096];
    while (read(out, rest, sizeof rest) > 0) {
    }
    close(out);
    if (running) wait_status(pid);
    return running;
}

std::string EndToEndTest::opened() const {
    auto deadline = std::chrono::steady_clock::now() + OPENER_WAIT;
    while (!fs::exists(path("bin/opened.log")) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    Bytes log = read_file(path("bin/opened.log"));
    return std::string(log.begin(), log.end());
}

// Takes --program=COMMAND off the command line; the rest goes to GoogleTest.
int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    const std::string flag = "--program=";
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg.rfind(flag, 0) != 0) continue;
        std::istringstream words(arg.substr(flag.size()));
        for (std::string word; words >> word;) program_command().push_back(word);
    }
    signal(SIGPIPE, SIG_IGN);
    return RUN_ALL_TESTS();
}
