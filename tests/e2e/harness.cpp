#include "harness.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

namespace fs = std::filesystem;

std::vector<std::string>& program_command() {
    static std::vector<std::string> command;
    return command;
}

namespace {

std::string host_path(const fs::path& path) { return path.string(); }

// Wine shows the build machine's root as drive Z:.
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
    return {"native", static_cast<size_t>(pathconf(".", _PC_PATH_MAX)), EISDIR, host_path, opened_after_cwd};
}

// ERROR_ACCESS_DENIED; MAX_PATH of the A functions.
Target make_windows() { return {"windows", 260, 5, wine_path, opened_in_wine}; }

Target& selected_target() {
    static Target chosen = make_native();
    return chosen;
}

constexpr auto OPENER_WAIT = std::chrono::seconds(5);

// Starts the program; its stdout is the returned pipe's read end.
pid_t spawn(Launch how, int* out, const std::function<void()>& before_exec = {}) {
    int pipe_fds[2];
    if (pipe(pipe_fds) != 0) return -1;
    how.in_child = [&] {
        // No controlling terminal, so the key wait returns at once even when
        // the suite itself runs in one; standard input closed.
        setsid();
        dup2(pipe_fds[1], 1);
        close(pipe_fds[0]);
        close(pipe_fds[1]);
        close(0);
        if (before_exec) before_exec();
    };
    pid_t pid = launch(how);
    close(pipe_fds[1]);
    *out = pipe_fds[0];
    return pid;
}

}  // namespace

const Target& target() { return selected_target(); }

void EndToEndTest::SetUp() {
    ASSERT_FALSE(program_command().empty()) << "run the suite with --program=COMMAND";
    ScratchDirTest::SetUp();
    fs::create_directories(path("work"));
    fs::create_directories(path("bin"));
    std::string log = path("bin/opened.log").string();
    // Under every opener's name, so that no run starts a real application.
    for (const char* opener : {"xdg-open", "open"}) {
        write_file(path("bin") / opener, "#!/bin/sh\nprintf '%s\\n' \"$1\" >> '" + log + "'\n");
        fs::permissions(path("bin") / opener, static_cast<fs::perms>(0755));
    }
}

Launch EndToEndTest::program(const std::vector<std::string>& args) const {
    // The environment names where the opener registered in the Wine prefix records its calls.
    Launch how{.argv = program_command(), .cwd = work().string(), .path_first = path("bin").string(),
               .env = {{"DL2TORRENT_OPENED_LOG", target().program_path(path("bin/opened.log"))}}};
    how.argv.insert(how.argv.end(), args.begin(), args.end());
    int watch[2];
    if (pipe(watch) == 0) {
        fcntl(watch[0], F_SETFD, FD_CLOEXEC);
        fcntl(watch[1], F_SETFD, FD_CLOEXEC);
        watches_.push_back(watch[0]);
        how.pass_fd = watch[1];
        how.pass_as = OPENERS_WATCH_FD;
    }
    return how;
}

void EndToEndTest::TearDown() {
    // Every opener a run started has ended once no process holds the write
    // end of its run's pipe; a wait that takes too long still checks the log.
    auto deadline = std::chrono::steady_clock::now() + OPENER_WAIT;
    for (int fd : watches_) {
        // Nothing is ever written to it: any event is its end.
        pollfd p = {fd, POLLIN, 0};
        while (std::chrono::steady_clock::now() < deadline && poll(&p, 1, 50) == 0) {
        }
        close(fd);
    }
    watches_.clear();
    Bytes log = read_file(path("bin/opened.log"));
    EXPECT_EQ(std::string(log.begin(), log.end()), expected_opened_) << "what the desktop was asked to open";
    ScratchDirTest::TearDown();
}

void EndToEndTest::expect_saved(const RunResult& r, const std::string& input, const std::string& output,
                                uint64_t offset, const Bytes& torrent, const std::string& opened) {
    EXPECT_EQ(r.out, texts::saved(input, output, offset, torrent.size()));
    EXPECT_EQ(r.status, 0);
    // "./" repeated may make the name as printed too long for a path here.
    const fs::path file = work(output).lexically_normal();
    EXPECT_EQ(read_file(file), torrent);
    EXPECT_EQ(temporaries_beside(file), std::vector<std::string>{});
    will_open(opened.empty() ? target().opened_path(work(), output) : opened);
}

void EndToEndTest::expect_failed(const RunResult& r, const std::string& out, const std::string& output,
                                 const std::optional<Bytes>& earlier) const {
    EXPECT_EQ(r.out, out + texts::PROMPT);
    EXPECT_EQ(r.status, 1);
    if (output.empty()) return;
    EXPECT_EQ(temporaries_beside(work(output)), std::vector<std::string>{});
    if (earlier) {
        EXPECT_EQ(read_file(work(output)), *earlier);
    } else {
        EXPECT_FALSE(fs::exists(work(output)));
    }
}

RunResult EndToEndTest::run(const std::vector<std::string>& args) const { return run_with(args, {}); }

RunResult EndToEndTest::run_with(const std::vector<std::string>& args, const std::function<void()>& before_exec,
                                 const std::function<void(pid_t)>& after_first_line) const {
    RunResult result;
    int out = -1;
    pid_t pid = spawn(program(args), &out, before_exec);
    if (pid < 0) {
        close(out);
        return result;
    }
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

// A new pseudo-terminal, both its sides open; false when none can be had.
// POSIX's calls, where openpty's header differs (pty.h, util.h) or is missing.
bool open_pseudo_terminal(int* master, int* slave) {
    int m = posix_openpt(O_RDWR | O_NOCTTY);
    if (m < 0) return false;
    const char* name = grantpt(m) == 0 && unlockpt(m) == 0 ? ptsname(m) : nullptr;
    int s = name ? open(name, O_RDWR | O_NOCTTY) : -1;
    if (s < 0) {
        close(m);
        return false;
    }
    *master = m;
    *slave = s;
    return true;
}

// In the child: forks the job, which returns, and waits for it to pass on
// its exit status.
void become_background_job() {
    pid_t job = fork();
    if (job == 0) {
        setpgid(0, 0);
        return;
    }
    _exit(wait_status(job));
}

}  // namespace

PtyRun::PtyRun(Launch how, Start start) {
    if (!open_pseudo_terminal(&master_, &slave_)) return;
    tcgetattr(slave_, &before_);
    how.in_child = [&] {
        setsid();
        if (ioctl(slave_, TIOCSCTTY, 0) != 0) _exit(126);
        // SIGINT and SIGQUIT as an interactive shell leaves them for a job,
        // whatever the suite was started with.
        for (int sig : {SIGINT, SIGQUIT}) signal(sig, start == Start::SIGINT_IGNORED ? SIG_IGN : SIG_DFL);
        int in = start == Start::STDIN_FROM_NULL ? open("/dev/null", O_RDONLY) : slave_;
        int out = start == Start::STDOUT_TO_FILE ? open("out.txt", O_WRONLY | O_CREAT | O_TRUNC, 0600) : slave_;
        dup2(in, 0);
        dup2(out, 1);
        dup2(slave_, 2);
        close(master_);
        // As a shell starts a job with "&": a process group of its own,
        // while this one, the session's, keeps the terminal.
        if (start == Start::BACKGROUND) become_background_job();
    };
    pid_ = launch(how);
}

PtyRun::~PtyRun() {
    if (pid_ > 0 && !exited_) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (master_ >= 0) close(master_);
    if (slave_ >= 0) close(slave_);
}

bool PtyRun::read_until(const std::string& text) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (shown().find(text) == std::string::npos) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        read_some(100);
    }
    return true;
}

bool PtyRun::running() {
    int status;
    if (exited_ || waitpid(pid_, &status, WNOHANG) != pid_) return !exited_;
    exited_ = true;
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return false;
}

int PtyRun::wait_for_exit() {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (running() && std::chrono::steady_clock::now() < deadline) read_some(10);
    return exited_ ? status_ : -1;
}

bool PtyRun::reads_single_keys() const {
    return wait_until(std::chrono::seconds(10), [&] { return !(settings().c_lflag & (ECHO | ICANON)); });
}

bool PtyRun::answer(const std::string& prompt, const std::string& keys) {
    if (!read_until(prompt)) return false;
    // The prompt comes before the wait sets the terminal up.
    EXPECT_TRUE(reads_single_keys()) << "the wait reads single keys without echo";
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_TRUE(running()) << "it must wait for a key";
    type(keys);
    return true;
}

void PtyRun::type(const std::string& keys) { (void)!write(master_, keys.data(), keys.size()); }

int PtyRun::unread_input() const {
    int n = -1;
    ioctl(slave_, FIONREAD, &n);
    return n;
}

std::string PtyRun::shown() const { return visible_text(screen_); }

bool PtyRun::read_some(int ms) {
    pollfd p = {master_, POLLIN, 0};
    if (poll(&p, 1, ms) <= 0) return false;
    char buffer[4096];
    ssize_t n = read(master_, buffer, sizeof buffer);
    if (n <= 0) return false;
    screen_.append(buffer, static_cast<size_t>(n));
    return true;
}

void DownloaderTest::SetUp() {
    EndToEndTest::SetUp();
    torrent_ = read_file(fixture("sample.torrent"));
    image_ = read_file(fixture("hello64.exe"));
    ASSERT_FALSE(torrent_.empty());
    ASSERT_FALSE(image_.empty());
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
        if (arg.rfind(flag, 0) == 0) program_command() = command_words(arg.substr(flag.size()));
    }
    signal(SIGPIPE, SIG_IGN);
    // A run that SIGQUIT ends leaves no core file in the scratch folders.
    struct rlimit no_core = {0, 0};
    setrlimit(RLIMIT_CORE, &no_core);
    return RUN_ALL_TESTS();
}
