// The key wait in a real terminal: the program gets a pseudo-terminal as its
// controlling terminal, and the test types into it.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "harness.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

bool same_settings(const termios& a, const termios& b) {
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag && a.c_lflag == b.c_lflag &&
           std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0 && cfgetispeed(&a) == cfgetispeed(&b) &&
           cfgetospeed(&a) == cfgetospeed(&b);
}

// How the program is started on the terminal.
enum class Start {
    FOREGROUND,      // standard input and output on the terminal, as typed at a shell
    STDIN_FROM_NULL, // < /dev/null
    STDOUT_TO_FILE,  // > out.txt
    BACKGROUND,      // & : in a process group that does not own the terminal
    SIGINT_IGNORED,  // as a shell starts a job that Ctrl+C must not end
};

// The program in work/ with a pseudo-terminal as its controlling terminal
// and, unless `start` says otherwise, as its standard input and output.
class PtyRun {
public:
    PtyRun(const fs::path& cwd, const fs::path& bin, const std::vector<std::string>& args, Start start) {
        if (openpty(&master_, &slave_, nullptr, nullptr, nullptr) != 0) return;
        tcgetattr(slave_, &before_);
        std::vector<std::string> argv = program_command();
        argv.insert(argv.end(), args.begin(), args.end());
        std::string path_env = bin.string() + ":" + (std::getenv("PATH") ? std::getenv("PATH") : "/usr/bin:/bin");
        pid_ = fork();
        if (pid_ == 0) {
            setsid();
            if (ioctl(slave_, TIOCSCTTY, 0) != 0) _exit(126);
            if (chdir(cwd.c_str()) != 0) _exit(126);
            // SIGINT as an interactive shell leaves it for a job, whatever
            // the suite was started with.
            signal(SIGINT, start == Start::SIGINT_IGNORED ? SIG_IGN : SIG_DFL);
            int in = start == Start::STDIN_FROM_NULL ? open("/dev/null", O_RDONLY) : slave_;
            int out = start == Start::STDOUT_TO_FILE ? open("out.txt", O_WRONLY | O_CREAT | O_TRUNC, 0600) : slave_;
            dup2(in, 0);
            dup2(out, 1);
            dup2(slave_, 2);
            close(master_);
            // As a shell starts a job with "&": a process group of its own,
            // while this one, the session's, keeps the terminal. Its exit
            // status is passed on.
            if (start == Start::BACKGROUND) become_background_job();
            setenv("PATH", path_env.c_str(), 1);
            std::vector<char*> raw;
            for (auto& a : argv) raw.push_back(a.data());
            raw.push_back(nullptr);
            execvp(raw[0], raw.data());
            _exit(127);
        }
    }
    // In the child: forks the job, which returns, and waits for it.
    static void become_background_job() {
        pid_t job = fork();
        if (job == 0) {
            setpgid(0, 0);
            return;
        }
        int status = 0;
        while (waitpid(job, &status, 0) < 0 && errno == EINTR) {
        }
        _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
    }
    ~PtyRun() {
        if (pid_ > 0 && !exited_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (master_ >= 0) close(master_);
        if (slave_ >= 0) close(slave_);
    }
    bool started() const { return pid_ > 0; }

    // Reads what the program writes until `text` has arrived or 10 s passed.
    bool read_until(const std::string& text) {
        auto deadline = std::chrono::steady_clock::now() + 10s;
        while (screen_.find(text) == std::string::npos) {
            if (std::chrono::steady_clock::now() > deadline || !read_some(100)) {
                if (std::chrono::steady_clock::now() > deadline) return false;
            }
        }
        return true;
    }
    // Reads whatever more arrives within `ms` milliseconds.
    void drain(int ms) {
        while (read_some(ms)) {
        }
    }
    bool running() {
        if (exited_) return false;
        int status;
        if (waitpid(pid_, &status, WNOHANG) != pid_) return true;
        record(status);
        return false;
    }
    // Waits up to 10 s for the end; the exit status, or 128 + signal.
    int wait_for_exit() {
        auto deadline = std::chrono::steady_clock::now() + 10s;
        while (running() && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(10ms);
        return exited_ ? status_ : -1;
    }
    void type(const std::string& keys) { (void)!write(master_, keys.data(), keys.size()); }
    termios settings() const {
        termios now{};
        tcgetattr(slave_, &now);
        return now;
    }
    const termios& settings_before() const { return before_; }
    // Bytes typed but not read by anyone.
    int unread_input() const {
        int n = -1;
        ioctl(slave_, FIONREAD, &n);
        return n;
    }
    const std::string& screen() const { return screen_; }

private:
    bool read_some(int ms) {
        pollfd p = {master_, POLLIN, 0};
        if (poll(&p, 1, ms) <= 0) return false;
        char buffer[512];
        ssize_t n = read(master_, buffer, sizeof buffer);
        if (n <= 0) return false;
        screen_.append(buffer, static_cast<size_t>(n));
        return true;
    }
    void record(int status) {
        exited_ = true;
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    int master_ = -1, slave_ = -1;
    pid_t pid_ = -1;
    termios before_{};
    bool exited_ = false;
    int status_ = -1;
    std::string screen_;
};

class TerminalTest : public EndToEndTest {};

// The terminal turns "\n" into "\r\n" on the way out.
const char FAILED_SCREEN[] = "Could not find any Quv-*-downloader.exe\r\nPress any key to exit..\r\n";

TEST_F(TerminalTest, AFailedRunWaitsForOneKeyWithoutEchoAndRestoresTheTerminal) {
    const struct {
        const char* what;
        std::string keys;
        Start start;
        int status;
        bool waits = true;
        std::string screen = FAILED_SCREEN;
    } cases[] = {
        {"a letter", "x", Start::FOREGROUND, 1},
        {"Enter", "\r", Start::FOREGROUND, 1},
        {"an arrow key, three bytes at once", "\x1b[A", Start::FOREGROUND, 1},
        {"standard input elsewhere: the terminal is still read", "q", Start::STDIN_FROM_NULL, 1},
        {"Ctrl+C: the run dies of it", "\x03", Start::FOREGROUND, 128 + SIGINT},
        {"Ctrl+C with SIGINT ignored: a key like any other", "\x03", Start::SIGINT_IGNORED, 1},
        // Nobody sees the prompt, or the run may not read the terminal: it
        // ends at once and leaves the terminal's settings alone.
        {"standard output to a file", "", Start::STDOUT_TO_FILE, 1, false, ""},
        {"a background job", "", Start::BACKGROUND, 1, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        PtyRun run(work(), path("bin"), {}, c.start);
        ASSERT_TRUE(run.started());
        if (c.waits) {
            ASSERT_TRUE(run.read_until(FAILED_SCREEN)) << run.screen();
            std::this_thread::sleep_for(300ms);
            EXPECT_TRUE(run.running()) << "it must wait for a key";
            termios waiting = run.settings();
            EXPECT_EQ(waiting.c_lflag & (ECHO | ICANON), 0u) << "the wait reads single keys without echo";
            run.type(c.keys);
        }
        EXPECT_EQ(run.wait_for_exit(), c.status);
        run.drain(200);
        EXPECT_EQ(run.screen(), c.screen) << "nothing more, the key not echoed";
        EXPECT_TRUE(same_settings(run.settings(), run.settings_before())) << "the terminal's settings are restored";
        EXPECT_EQ(run.unread_input(), 0) << "the rest of a multi-byte key is not left for the shell";
    }
    const std::string file = "Could not find any Quv-*-downloader.exe\nPress any key to exit..\n";
    EXPECT_EQ(read_file(work("out.txt")), Bytes(file.begin(), file.end()));
}

TEST_F(TerminalTest, ASuccessfulRunDoesNotWait) {
    write_file(work("Quv-1-downloader.exe"), concat(read_file(fixture("hello64.exe")), read_file(fixture("sample.torrent"))));
    PtyRun run(work(), path("bin"), {}, Start::FOREGROUND);
    ASSERT_TRUE(run.started());
    EXPECT_EQ(run.wait_for_exit(), 0);
    run.drain(200);
    EXPECT_EQ(run.screen(), "Extracting from Quv-1-downloader.exe...\r\nTorrent should be at 0x3a00 len 0x134\r\n"
                            "Saving torrent to Quv-1-downloader.torrent...\r\n");
    EXPECT_TRUE(same_settings(run.settings(), run.settings_before()));
}

}  // namespace
