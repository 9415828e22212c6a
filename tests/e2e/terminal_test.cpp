// The key wait in a real terminal: the program gets a pseudo-terminal as its
// controlling terminal, and the test types into it.
#include <signal.h>
#include <termios.h>

#include <cstring>

#include "harness.h"

namespace {

bool same_settings(const termios& a, const termios& b) {
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag && a.c_lflag == b.c_lflag &&
           std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0 && cfgetispeed(&a) == cfgetispeed(&b) &&
           cfgetospeed(&a) == cfgetospeed(&b);
}

class TerminalTest : public EndToEndTest {};

// The terminal turns "\n" into "\r\n" on the way out.
std::string on_screen(const std::string& text) {
    std::string screen;
    for (char c : text) screen += c == '\n' ? std::string("\r\n") : std::string(1, c);
    return screen;
}

const std::string FAILED = texts::not_found("Quv-*-downloader.exe") + texts::PROMPT;

// A failed run waits for one key, which it does not echo, and leaves the
// terminal as it found it; one that nobody sees, or that succeeded, ends at once.
TEST_F(TerminalTest, TheKeyWaitAfterAFailure) {
    const struct {
        const char* what;
        std::string keys;
        Start start;
        int status;
        bool waits = true;
        std::string screen = on_screen(FAILED);
    } cases[] = {
        {"a letter", "x", Start::FOREGROUND, 1},
        {"Enter", "\r", Start::FOREGROUND, 1},
        {"an arrow key, three bytes at once", "\x1b[A", Start::FOREGROUND, 1},
        {"standard input elsewhere: the terminal is still read", "q", Start::STDIN_FROM_NULL, 1},
        {"Ctrl+C: the run dies of it", "\x03", Start::FOREGROUND, 128 + SIGINT},
        {"Ctrl+\\: the run dies of it", "\x1c", Start::FOREGROUND, 128 + SIGQUIT},
        {"Ctrl+C with SIGINT ignored: a key like any other", "\x03", Start::SIGINT_IGNORED, 1},
        // Nobody sees the prompt, or the run may not read the terminal: it
        // ends at once and leaves the terminal's settings alone.
        {"standard output to a file", "", Start::STDOUT_TO_FILE, 1, false, ""},
        {"a background job", "", Start::BACKGROUND, 1, false},
        // Last, as it leaves a downloader in the folder.
        {"a successful run: nothing to wait for", "", Start::FOREGROUND, 0, false,
         on_screen(texts::saved("Quv-1-downloader.exe", "Quv-1-downloader.torrent", 0x3a00, 0x134))},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.status == 0) {
            write_file(work("Quv-1-downloader.exe"),
                       concat(read_file(fixture("hello64.exe")), read_file(fixture("sample.torrent"))));
            will_open(target().opened_path(work(), "Quv-1-downloader.torrent"));
        }
        PtyRun run(program({}), c.start);
        ASSERT_TRUE(run.started());
        if (c.waits) {
            ASSERT_TRUE(run.answer(texts::PROMPT, c.keys)) << run.screen();
        }
        EXPECT_EQ(run.wait_for_exit(), c.status);
        run.drain(200);
        EXPECT_EQ(run.screen(), c.screen) << "nothing more, the key not echoed";
        EXPECT_TRUE(same_settings(run.settings(), run.settings_before())) << "the terminal's settings are restored";
        EXPECT_EQ(run.unread_input(), 0) << "the rest of a multi-byte key is not left for the shell";
    }
    EXPECT_EQ(read_file(work("out.txt")), Bytes(FAILED.begin(), FAILED.end()));
}

}  // namespace
