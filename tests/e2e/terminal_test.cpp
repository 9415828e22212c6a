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

// The program in work/ with a pseudo-terminal as its controlling terminal
// and as its standard output (and input, unless `stdin_from_null`).
class PtyRun {
public:
    PtyRun(const fs::path& cwd, const fs::path& bin, const std::vector<std::string>& args, bool stdin_from_null) {
        if (openpty(&master_, &slave_, nullptr, nullptr, nullptr) != 0) return;
        tcgetattr(slave_, &before_);
        std::vector<std::string> argv = program_command();
        argv.insert(argv.end(), args.begin(), args.end());
        std::string path_env = bin.string() + ":" + (std::getenv("PATH") ? std::getenv("PATH") : "/usr/bin:/bin");
        pid_ = fork();
        if (pid_ == 0) {
            setsid();
            if (ioctl(slave_, TIOCSCTTY, 0) != 0) _exit(126);
            int in = stdin_from_null ? open("/dev/null", O_RDONLY) : slave_;
            dup2(in, 0);
            dup2(slave_, 1);
            dup2(slave_, 2);
            close(master_);
            if (chdir(cwd.c_str()) != 0) _exit(126);
            setenv("PATH", path_env.c_str(), 1);
            std::vector<char*> raw;
            for (auto& a : argv) raw.push_back(a.data());
            raw.push_back(nullptr);
            execvp(raw[0], raw.data());
            _exit(127);
        }
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
        bool stdin_from_null;
        int status;
    } cases[] = {
        {"a letter", "x", false, 1},
        {"Enter", "\r", false, 1},
        {"an arrow key, three bytes at once", "\x1b[A", false, 1},
        {"standard input elsewhere: the terminal is still read", "q", true, 1},
        {"Ctrl+C: the run dies of it", "\x03", false, 128 + SIGINT},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        PtyRun run(work(), path("bin"), {}, c.stdin_from_null);
        ASSERT_TRUE(run.started());
        ASSERT_TRUE(run.read_until(FAILED_SCREEN)) << run.screen();
        std::this_thread::sleep_for(300ms);
        EXPECT_TRUE(run.running()) << "it must wait for a key";
        termios waiting = run.settings();
        EXPECT_EQ(waiting.c_lflag & (ECHO | ICANON), 0u) << "the wait reads single keys without echo";
        run.type(c.keys);
        EXPECT_EQ(run.wait_for_exit(), c.status);
        run.drain(200);
        EXPECT_EQ(run.screen(), FAILED_SCREEN) << "nothing more, the key not echoed";
        EXPECT_TRUE(same_settings(run.settings(), run.settings_before())) << "the terminal's settings are restored";
        EXPECT_EQ(run.unread_input(), 0) << "the rest of a multi-byte key is not left for the shell";
    }
}

TEST_F(TerminalTest, ASuccessfulRunDoesNotWait) {
    write_file(work("Quv-1-downloader.exe"), concat(read_file(fixture("hello64.exe")), read_file(fixture("sample.torrent"))));
    PtyRun run(work(), path("bin"), {}, false);
    ASSERT_TRUE(run.started());
    EXPECT_EQ(run.wait_for_exit(), 0);
    run.drain(200);
    EXPECT_EQ(run.screen(), "Extracting from Quv-1-downloader.exe...\r\nTorrent should be at 0x3a00 len 0x134\r\n"
                            "Saving torrent to Quv-1-downloader.torrent...\r\n");
    EXPECT_TRUE(same_settings(run.settings(), run.settings_before()));
}

}  // namespace
