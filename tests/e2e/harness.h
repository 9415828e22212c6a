// Runs the built program as a user would, in a scratch folder, and captures
// what it prints, its exit status and what it hands to the desktop.
#pragma once

#include <termios.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "launch.h"
#include "support.h"
#include "texts.h"

// The program's command line, from --program=... on the suite's own command
// line (for example "wine build/windows/dl2torrent.exe").
std::vector<std::string>& program_command();

// What the program does differently on each platform it is built for, picked
// with --target=native (the default) or --target=windows (the .exe under
// Wine). Everything not in this table is checked alike.
struct Target {
    const char* name;
    size_t path_max;                   // the longest path it takes, its zero included
    unsigned long error_is_directory;  // a directory opened or replaced as a file
    // A path of the build machine as the program names it (under Wine: Z:\...).
    std::string (*program_path)(const std::filesystem::path& path);
    // What the registered opener receives for `saved`, as printed, in `dir`:
    // a full path.
    std::string (*opened_path)(const std::filesystem::path& dir, const std::string& saved);
};
const Target& target();

struct RunResult {
    int status = -1;   // the exit status, or 128 + signal
    std::string out;   // everything written to standard output
};

// The descriptor on which the program, and every process it starts, holds a
// pipe of the suite open: once no process holds it, nothing more will be
// handed to the desktop.
constexpr int OPENERS_WATCH_FD = 100;

// A scratch folder holding work/ (the program's current directory) and
// bin/, first on PATH, with a recording stand-in for the desktop opener.
// What the desktop is asked to open is checked once, at the end of a case,
// against every path the case's runs were to hand over, in order.
class EndToEndTest : public ScratchDirTest {
protected:
    void SetUp() override;
    void TearDown() override;
    std::filesystem::path work(const std::string& name = {}) const { return path("work") / name; }
    // The program's command line with `args`, to start in work/ with bin/
    // first on PATH.
    Launch program(const std::vector<std::string>& args) const;
    // Runs the program in work/ with standard input closed and no terminal.
    RunResult run(const std::vector<std::string>& args = {}) const;
    // The same, with `before_exec` run in the child just before the program
    // starts (limits, signal dispositions, credentials, standard streams),
    // and `after_first_line` run in the suite, with the program's process
    // id, once its first line has arrived.
    RunResult run_with(const std::vector<std::string>& args, const std::function<void()>& before_exec,
                       const std::function<void(pid_t)>& after_first_line = {}) const;
    // The desktop is to be asked to open `opened`, after what was expected before.
    void will_open(const std::string& opened) { expected_opened_ += opened + "\n"; }
    // A run that saved `torrent` from `input` at `offset` as `output` (as
    // printed, from work/): its three lines, status 0, the bytes, no
    // temporary file; the desktop is to open `opened`, by default the
    // output's full path.
    void expect_saved(const RunResult& r, const std::string& input, const std::string& output, uint64_t offset,
                      const Bytes& torrent, const std::string& opened = {});
    // A run that printed `out` and failed: the prompt after it, status 1,
    // nothing handed to the desktop and, when `output` is given, no
    // temporary file beside it and `earlier` there (none: no file at all).
    void expect_failed(const RunResult& r, const std::string& out, const std::string& output = {},
                       const std::optional<Bytes>& earlier = std::nullopt) const;
    // Everything in work/, sorted.
    std::vector<std::string> work_listing() const { return listing("work"); }

private:
    std::string expected_opened_;
    mutable std::vector<int> watches_;  // read ends of the runs' OPENERS_WATCH_FD pipes
};

// How the program is started on a terminal.
enum class Start {
    FOREGROUND,      // standard input and output on the terminal, as typed at a shell
    STDIN_FROM_NULL, // < /dev/null
    STDOUT_TO_FILE,  // > out.txt
    BACKGROUND,      // & : in a process group that does not own the terminal
    SIGINT_IGNORED,  // with SIGQUIT, as a shell starts a job that Ctrl+C must not end
};

// The program with a pseudo-terminal (a console under Wine) as its
// controlling terminal and, unless `start` says otherwise, as its standard
// input and output; killed at the end if it still runs.
class PtyRun {
public:
    PtyRun(Launch how, Start start = Start::FOREGROUND);
    ~PtyRun();
    PtyRun(const PtyRun&) = delete;
    PtyRun& operator=(const PtyRun&) = delete;
    bool started() const { return pid_ > 0; }
    // Reads what the program writes until the terminal shows `text`, or 20 s.
    bool read_until(const std::string& text);
    // Reads whatever more arrives within `ms` milliseconds.
    void drain(int ms) {
        while (read_some(ms)) {
        }
    }
    bool running();
    // Waits up to 10 s for the end; the exit status, or 128 + signal.
    int wait_for_exit();
    void type(const std::string& keys);
    termios settings() const {
        termios now{};
        tcgetattr(slave_, &now);
        return now;
    }
    const termios& settings_before() const { return before_; }
    // Waits up to 10 s for the terminal to read single keys without echo.
    bool reads_single_keys() const;
    // Once the terminal shows `prompt` (false when it never does): checks
    // that the key wait has set the terminal up and still waits a moment
    // later, then types `keys`.
    bool answer(const std::string& prompt, const std::string& keys);
    // Bytes typed but not read by anyone.
    int unread_input() const;
    // What the program wrote, and the text a terminal shows for it.
    const std::string& screen() const { return screen_; }
    std::string shown() const;

private:
    bool read_some(int ms);
    int master_ = -1, slave_ = -1;
    pid_t pid_ = -1;
    termios before_{};
    bool exited_ = false;
    int status_ = -1;
    std::string screen_;
};

// Runs on downloaders made of the real PE32+ image and the real torrent.
class DownloaderTest : public EndToEndTest {
protected:
    void SetUp() override;
    // The image with the torrent appended.
    Bytes downloader() const { return concat(image_, torrent_); }
    Bytes torrent_, image_;
};

