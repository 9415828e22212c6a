#include "harness.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
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

std::string host_path(const fs::path& path) { return path.string(); }

// Wine shows this machine's root as drive Z:.
std::string wine_path(const fs::path& path) {
    std::string text = "Z:" + fs::absolute(path).lexically_normal().string();
    for (char& c : text)
        if (c == '/') c = '\\';
    return text;
}

// The current directory as the program sees it, with the name after it.
std::string opened_after_cwd(const fs::path& dir, const std::string& saved) {
    return fs::canonical(dir).string() + "/" + saved;
}

// The Windows shell's full path: "." and ".." resolved, backslashes.
std::string opened_in_wine(const fs::path& dir, const std::string& saved) { return wine_path(dir / saved); }

Target make_native() {
    return {"native", static_cast<size_t>(pathconf(".", _PC_PATH_MAX)), EISDIR, EINVAL, host_path, opened_after_cwd};
}

// ERROR_ACCESS_DENIED, ERROR_NEGATIVE_SEEK; MAX_PATH of the A functions.
Target make_windows() { return {"windows", 260, 5, 131, wine_path, opened_in_wine}; }

Target& selected_target() {
    static Target chosen = make_native();
    return chosen;
}

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
        // Where the opener registered in the Wine prefix records its calls.
        setenv("DL2TORRENT_OPENED_LOG", target().program_path(bin / "opened.log").c_str(), 1);
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

const Target& target() { return selected_target(); }

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
                                 const std::function<void(pid_t)>& after_first_line) const {
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
        after_first_line(pid);
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

namespace {

// The text a terminal shows for `raw`: "\r" dropped, a cursor-forward escape
// as that many blanks (Wine's console draws gaps so), other escapes dropped.
std::string visible_text(const std::string& raw) {
    std::string text;
    for (size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] == '\r') continue;
        if (raw[i] != '\x1b') {
            text.push_back(raw[i]);
            continue;
        }
        if (i + 1 < raw.size() && raw[i + 1] == '[') {
            size_t end = i + 2;
            while (end < raw.size() && !(raw[end] >= '@' && raw[end] <= '~')) ++end;
            if (end < raw.size() && raw[end] == 'C') {
                std::string count = raw.substr(i + 2, end - i - 2);
                text.append(count.empty() ? 1 : static_cast<size_t>(std::atoi(count.c_str())), ' ');
            }
            i = end;
        } else {
            ++i;  // a two-byte escape
        }
    }
    return text;
}

// Reads what the terminal has for up to `ms` milliseconds; false at its end.
bool read_terminal(int fd, std::string* raw, int ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < deadline) {
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0) continue;
        char buffer[4096];
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0) return false;
        raw->append(buffer, static_cast<size_t>(n));
    }
    return true;
}

}  // namespace

EndToEndTest::TerminalRun EndToEndTest::run_on_terminal(const std::vector<std::string>& args,
                                                        const std::string& prompt, const std::string& key) const {
    TerminalRun result;
    std::vector<std::string> argv = program_command();
    argv.insert(argv.end(), args.begin(), args.end());
    int terminal = -1;
    pid_t pid = forkpty(&terminal, nullptr, nullptr, nullptr);
    if (pid < 0) return result;
    if (pid == 0) {
        if (chdir(work().c_str()) != 0) _exit(126);
        std::vector<char*> raw;
        for (auto& a : argv) raw.push_back(a.data());
        raw.push_back(nullptr);
        execvp(raw[0], raw.data());
        _exit(127);
    }
    std::string raw;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (visible_text(raw).find(prompt) == std::string::npos && std::chrono::steady_clock::now() < deadline)
        if (!read_terminal(terminal, &raw, 100)) break;
    read_terminal(terminal, &raw, 300);
    result.waited = waitpid(pid, nullptr, WNOHANG) == 0;
    if (write(terminal, key.data(), key.size()) != static_cast<ssize_t>(key.size())) kill(pid, SIGKILL);
    // Up to 10 s for the program to end; then it is stopped.
    for (int i = 0; i < 100 && waitpid(pid, nullptr, WNOHANG | WNOWAIT) == 0; ++i) read_terminal(terminal, &raw, 100);
    if (waitpid(pid, nullptr, WNOHANG | WNOWAIT) == 0) kill(pid, SIGKILL);
    result.status = wait_status(pid);
    read_terminal(terminal, &raw, 200);
    close(terminal);
    result.shown = visible_text(raw);
    return result;
}

std::string EndToEndTest::opened() const {
    auto deadline = std::chrono::steady_clock::now() + OPENER_WAIT;
    while (!fs::exists(path("bin/opened.log")) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    Bytes log = read_file(path("bin/opened.log"));
    return std::string(log.begin(), log.end());
}

const char PROMPT[] = "Press any key to exit..\n";

void DownloaderTest::SetUp() {
    EndToEndTest::SetUp();
    torrent_ = read_file(fixture("sample.torrent"));
    image_ = read_file(fixture("hello64.exe"));
    ASSERT_FALSE(torrent_.empty());
    ASSERT_FALSE(image_.empty());
}

std::string DownloaderTest::located(uint64_t offset, uint64_t length) {
    char line[80];
    std::snprintf(line, sizeof line, "Torrent should be at 0x%llx len 0x%llx\n", static_cast<unsigned long long>(offset),
                  static_cast<unsigned long long>(length));
    return line;
}

std::string DownloaderTest::success(const std::string& input, const std::string& output, uint64_t offset,
                                    uint64_t length) {
    return "Extracting from " + input + "...\n" + located(offset, length) + "Saving torrent to " + output + "...\n";
}

// Takes --program=COMMAND and --target=NAME off the command line; the rest
// goes to GoogleTest.
int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    const std::string flag = "--program=";
    const std::string target_flag = "--target=";
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == target_flag + "windows") selected_target() = make_windows();
        else if (arg.rfind(target_flag, 0) == 0 && arg != target_flag + "native") {
            std::fprintf(stderr, "unknown %s: native or windows\n", arg.c_str());
            return 2;
        }
        if (arg.rfind(flag, 0) != 0) continue;
        std::istringstream words(arg.substr(flag.size()));
        for (std::string word; words >> word;) program_command().push_back(word);
    }
    signal(SIGPIPE, SIG_IGN);
    return RUN_ALL_TESTS();
}
