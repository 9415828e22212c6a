// dl2torrent.exe started the ways Windows starts console programs: hidden
// (CREATE_NO_WINDOW, as CI runners and scheduled tasks do), with its output
// in a file, next to another program that holds its files open, and ended
// by Ctrl+Break. Runs on the console of the Windows tests' terminal.
#include <chrono>
#include <string>
#include <thread>

#include "platform.h"
#include "support.h"
#include "texts.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// UTF-16 of UTF-8 `text`, for the W functions, which take any name.
std::wstring wide(const std::string& text) {
    std::wstring out(text.size() + 1, L'\0');
    out.resize(static_cast<size_t>(
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), static_cast<int>(out.size()))));
    return out;
}

// A path given in UTF-8, whatever the test program's own code page.
fs::path utf8_path(const std::string& text) { return fs::path(wide(text)); }

// The program under test, from DL2TORRENT_EXE: the release's .exe in hosted
// CI, the build's under Wine.
std::wstring program() { return given_path("DL2TORRENT_EXE", nullptr).make_preferred().wstring(); }

class LaunchTest : public ScratchDirTest {
protected:
    void SetUp() override {
        ScratchDirTest::SetUp();
        torrent_ = read_file(fixture("sample.torrent"));
        downloader_ = concat(read_file(fixture("hello64.exe")), torrent_);
    }
    // A run that a failed test left behind must not outlive the folder.
    void TearDown() override {
        if (process_.valid()) finish(0ms);
        ScratchDirTest::TearDown();
    }
    // Starts the program in the scratch folder; its standard output goes to
    // out.txt when `output_to_file`, else to whatever console it gets.
    bool start(const std::string& args, DWORD flags, bool output_to_file) {
        SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
        ScopedHandle out(output_to_file ? CreateFileA(path("out.txt").string().c_str(), GENERIC_WRITE, FILE_SHARE_READ,
                                                      &inherit, CREATE_ALWAYS, 0, nullptr)
                                        : INVALID_HANDLE_VALUE);
        STARTUPINFOW startup = {};
        startup.cb = sizeof startup;
        if (output_to_file) {
            startup.dwFlags = STARTF_USESTDHANDLES;
            startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
            startup.hStdOutput = out.get();
            startup.hStdError = out.get();
        }
        // Arguments in UTF-8, as the program's manifest makes its code page.
        std::wstring command = wide("dl2torrent.exe " + args);
        PROCESS_INFORMATION info = {};
        if (!CreateProcessW(program().c_str(), command.data(), nullptr, nullptr, output_to_file, flags, nullptr,
                            dir().wstring().c_str(), &startup, &info))
            return false;
        process_.reset(info.hProcess);
        CloseHandle(info.hThread);
        return true;
    }
    // Its exit code once it ends within `limit`; else it is stopped and
    // STILL_ACTIVE is returned.
    DWORD finish(std::chrono::milliseconds limit = 5s) {
        if (WaitForSingleObject(process_.get(), static_cast<DWORD>(limit.count())) != WAIT_OBJECT_0) {
            TerminateProcess(process_.get(), 99);
            WaitForSingleObject(process_.get(), INFINITE);
            return STILL_ACTIVE;
        }
        DWORD code = 0;
        GetExitCodeProcess(process_.get(), &code);
        return code;
    }
    std::string output() const {
        Bytes out = read_file(path("out.txt"));
        return std::string(out.begin(), out.end());
    }
    // Waits up to 20 s for the save's temporary file to appear.
    bool save_started() const {
        return wait_until(20s, [&] { return !temporaries_beside(path("Quv-1-downloader.torrent")).empty(); });
    }
    // Waits up to 20 s for the program to hold `name` open: until then a
    // probe that shares nothing gets the file, and afterwards a sharing
    // violation. A run that meets the probe's moment retries its open.
    bool holds_open(const std::string& name) const {
        return wait_until(20s, [&] {
            ScopedHandle probe(
                CreateFileA(path(name).string().c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
            return !probe.valid() && GetLastError() == ERROR_SHARING_VIOLATION;
        });
    }

    Bytes torrent_, downloader_;
    ScopedHandle<> process_;
};

// Runs as people start the program: in their downloads (a double-click, or
// typed in a console), on a name in no one code page, on a downloader
// dropped onto it, which Explorer passes as its full path in quotes, and on
// a download cut short. Output goes to a file, so nothing waits; what was
// handed to the shell is logged by the application registered for
// .torrent files.
TEST_F(LaunchTest, RunsAsPeopleStartThem) {
    const std::string unusual = "Quv-\xC3\xBC\xE6\x97\xA5\xD0\x96-downloader";  // u-umlaut, a kanji, a Cyrillic letter
    fs::create_directory(path("my downloads"));
    const std::string dropped = fs::absolute(path("my downloads")).string() + "\\Quv-2-downloader";
    const Bytes cut(downloader_.begin(), downloader_.end() - 1);
    const struct {
        const char* what;
        std::string input;  // as the program names it, from the scratch folder, in UTF-8
        std::string args;
        const Bytes& file;
        DWORD status;  // 0: saved, 1: nothing written
    } cases[] = {
        {"a complete downloader, the default pattern", "Quv-1-downloader", "", downloader_, 0},
        {"a name outside the system's code page", unusual, "\"" + unusual + ".exe\"", downloader_, 0},
        {"dropped, with spaces in its path", dropped, "\"" + dropped + ".exe\"", downloader_, 0},
        {"a download cut short", "Quv-3-downloader", "Quv-3-downloader.exe", cut, 1},
    };
    SetEnvironmentVariableA("DL2TORRENT_OPENED_LOG", path("opened.log").string().c_str());
    std::string opened;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        write_file(dir() / utf8_path(c.input + ".exe"), c.file);  // an absolute path stays as it is
        ASSERT_TRUE(start(c.args, 0, true));
        EXPECT_EQ(finish(10s), c.status);
        const fs::path saved = dir() / utf8_path(c.input + ".torrent");
        if (c.status == 0) {
            EXPECT_EQ(output(), texts::saved(c.input + ".exe", c.input + ".torrent", 0x3a00, torrent_.size()));
            EXPECT_EQ(read_file(saved), torrent_);
            const std::u8string full = fs::absolute(saved).u8string();
            opened += std::string(full.begin(), full.end()) + "\n";
        } else {
            EXPECT_EQ(output(), texts::extracting(c.input + ".exe") + texts::INCOMPLETE + texts::PROMPT);
            EXPECT_FALSE(fs::exists(saved));
        }
    }
    EXPECT_TRUE(wait_until(10s, [&] { return read_file(path("opened.log")).size() >= opened.size(); }));
    Bytes log = read_file(path("opened.log"));
    EXPECT_EQ(std::string(log.begin(), log.end()), opened);
}

// The key wait needs a console window that shows the prompt. The console
// of these tests has one (not visible under Wine), and there it waits.
TEST_F(LaunchTest, NoWaitWhereNobodySeesThePrompt) {
    EXPECT_NE(GetConsoleWindow(), nullptr);
    const struct {
        const char* what;
        DWORD flags;
        bool output_to_file;
    } cases[] = {
        {"a console without a window (CREATE_NO_WINDOW)", CREATE_NO_WINDOW, false},
        {"output to a file, on this console", 0, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(start("nothing*.exe", c.flags, c.output_to_file));
        EXPECT_EQ(finish(), 1u);
    }
    EXPECT_EQ(output(), texts::not_found("nothing*.exe") + texts::PROMPT);
}

// A program that holds the earlier output open without FILE_SHARE_DELETE
// blocks the rename over it. Let go within the retry budget, the save goes
// through; held past it, the failure is reported and nothing is lost.
TEST_F(LaunchTest, AnOutputHeldOpenForAMomentIsWaitedFor) {
    const Bytes earlier = {'e', 'a', 'r', 'l', 'i', 'e', 'r'};
    write_file(path("Quv-1-downloader.exe"), downloader_);
    const struct {
        const char* what;
        std::chrono::milliseconds held;  // after the save has begun
        DWORD status;
    } cases[] = {
        {"held 500 ms", 500ms, 0},
        {"held 4 s", 4000ms, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        write_file(path("Quv-1-downloader.torrent"), earlier);
        // As a torrent client may: shared for reading and writing, not for
        // deleting, so it cannot be replaced meanwhile.
        ScopedHandle holder(CreateFileA(path("Quv-1-downloader.torrent").string().c_str(), GENERIC_READ,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(holder.valid());
        ASSERT_TRUE(start("", 0, true));
        ASSERT_TRUE(save_started());
        std::this_thread::sleep_for(c.held);
        holder.reset();
        EXPECT_EQ(finish(10s), c.status) << output();
        EXPECT_EQ(temporaries_beside(path("Quv-1-downloader.torrent")), std::vector<std::string>{});
        if (c.status == 0) {
            EXPECT_EQ(read_file(path("Quv-1-downloader.torrent")), torrent_);
        } else {
            std::string out = output();
            EXPECT_TRUE(out.find("Could not save torrent!  Error 5\n") != std::string::npos ||
                        out.find("Could not save torrent!  Error 32\n") != std::string::npos)
                << out;
            EXPECT_EQ(read_file(path("Quv-1-downloader.torrent")), earlier);
        }
    }
}

// The input is shared for deleting: a browser or a virus scanner can
// remove the downloader during the pause, and the run reads on.
TEST_F(LaunchTest, TheInputCanBeDeletedWhileItIsRead) {
    write_file(path("Quv-1-downloader.exe"), downloader_);
    ASSERT_TRUE(start("", 0, true));
    ASSERT_TRUE(holds_open("Quv-1-downloader.exe"));  // then it pauses for 1000 ms
    EXPECT_TRUE(DeleteFileA(path("Quv-1-downloader.exe").string().c_str())) << GetLastError();
    EXPECT_EQ(finish(), 0u) << output();
    EXPECT_EQ(read_file(path("Quv-1-downloader.torrent")), torrent_);
}

// Ctrl+C typed in the middle of a save, which the console turns into a
// control event for every process on it: the temporary file goes, the
// earlier output stays, and the console gets its code page back, although
// the process ends without running its destructors.
TEST_F(LaunchTest, CtrlCDuringTheSaveCleansUp) {
    const Bytes earlier = {'e', 'a', 'r', 'l', 'i', 'e', 'r'};
    write_file(path("Quv-1-downloader.exe"),
               concat(read_file(fixture("hello64.exe")), torrent_with_pieces(Bytes(64 << 20, 0x5A))));
    write_file(path("Quv-1-downloader.torrent"), earlier);
    const UINT before = GetConsoleOutputCP();
    const UINT ours = GetACP() == 850 ? 437 : 850;
    ASSERT_TRUE(SetConsoleOutputCP(ours));
    ASSERT_TRUE(start("", 0, false));
    ASSERT_TRUE(save_started());
    // This process lets the event pass; the default handling ends the run.
    auto ignore = [](DWORD) -> BOOL { return TRUE; };
    SetConsoleCtrlHandler(ignore, TRUE);
    ScopedHandle console(CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                     nullptr, OPEN_EXISTING, 0, nullptr));
    INPUT_RECORD ctrl_c = {};
    ctrl_c.EventType = KEY_EVENT;
    ctrl_c.Event.KeyEvent.bKeyDown = TRUE;
    ctrl_c.Event.KeyEvent.wRepeatCount = 1;
    ctrl_c.Event.KeyEvent.wVirtualKeyCode = 'C';
    ctrl_c.Event.KeyEvent.uChar.AsciiChar = 3;
    ctrl_c.Event.KeyEvent.dwControlKeyState = LEFT_CTRL_PRESSED;
    DWORD written = 0;
    EXPECT_TRUE(WriteConsoleInputA(console.get(), &ctrl_c, 1, &written));
    // Windows ends the process with STATUS_CONTROL_C_EXIT; Wine 8 with 0.
    DWORD status = finish(10s);
    EXPECT_TRUE(status == static_cast<DWORD>(STATUS_CONTROL_C_EXIT) || status == 0) << status;
    SetConsoleCtrlHandler(ignore, FALSE);
    EXPECT_EQ(GetConsoleOutputCP(), ours);
    EXPECT_EQ(temporaries_beside(path("Quv-1-downloader.torrent")), std::vector<std::string>{});
    EXPECT_EQ(read_file(path("Quv-1-downloader.torrent")), earlier);
    SetConsoleOutputCP(before);
}

}  // namespace
