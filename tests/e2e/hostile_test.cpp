// Real faults and hostile inputs, from the outside: a full disk, an input
// changed by another process during the pause, an unreadable input, an
// output name that is a symbolic link, odd patterns and PE headers with
// every field at its extreme.
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <thread>

#include "harness.h"
#include "pe_extremes.h"

namespace {

namespace fs = std::filesystem;
using namespace texts;

class HostileTest : public DownloaderTest {};

// The status flags of descriptor 3 of process `pid`, the lowest past the
// standard three, once /proc shows it open on `file` without O_NONBLOCK
// (the open and the clearing of the flag are two calls, and the first line
// comes before both); else, after 10 s, its last flags, or -1 when it
// never was `file`.
long input_descriptor_flags(pid_t pid, const fs::path& file) {
    const std::string fd = "/proc/" + std::to_string(pid) + "/fd/3";
    long flags = -1;
    wait_until(std::chrono::seconds(10), [&] {
        std::error_code error;
        if (fs::read_symlink(fd, error) != file) return false;
        Bytes info = read_file("/proc/" + std::to_string(pid) + "/fdinfo/3");
        const std::string text(info.begin(), info.end());
        if (text.find("flags:") == std::string::npos) return false;
        flags = std::strtol(text.c_str() + text.find("flags:") + 6, nullptr, 8);
        return !(flags & O_NONBLOCK);
    });
    return flags;
}

// In the child, before the program starts: makes and enters folders below
// the current one, of 200 bytes and then one of 50 to 250, until the
// working directory's path is `length` bytes long; exits with 125 when it
// cannot. The tree takes a remover that walks it by descriptors (rm -rf).
void enter_folder_of_length(size_t length) {
    char cwd[PATH_MAX];
    if (!getcwd(cwd, sizeof cwd)) _exit(125);
    for (size_t now = std::strlen(cwd); now < length;) {
        const std::string level(length - now - 1 > 250 ? 200 : length - now - 1, 'd');
        if (mkdir(level.c_str(), 0755) != 0 || chdir(level.c_str()) != 0) _exit(125);
        now += level.size() + 1;
    }
}

// RLIMIT_FSIZE, with SIGXFSZ at its default as a shell leaves it (ulimit
// -f): a write past the limit fails with EFBIG, as on a full disk, and
// must cost no earlier output.
TEST_F(HostileTest, DiskFull) {
    const Bytes payload = make_torrent(3 * 4096 + 5, 31);
    const Bytes earlier = {'e', 'a', 'r', 'l', 'i', 'e', 'r'};
    const std::string output = "Quv-1-downloader.torrent";
    const struct {
        const char* what;
        rlim_t limit;
        std::optional<Bytes> earlier;
    } cases[] = {
        {"nothing may be written", 0, earlier},
        {"less than a chunk", 100, earlier},
        {"the limit falls in the second chunk", 5000, earlier},
        {"one byte short", 3 * 4096 + 4, std::nullopt},
    };
    auto file_size_limit = [](rlim_t limit) {
        return [limit] {
            signal(SIGXFSZ, SIG_DFL);
            struct rlimit rl = {limit, limit};
            setrlimit(RLIMIT_FSIZE, &rl);
        };
    };
    write_file(work("Quv-1-downloader.exe"), concat(image_, payload));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.earlier)
            write_file(work(output), *c.earlier);
        else
            fs::remove(work(output));
        expect_failed(run_with({}, file_size_limit(c.limit)),
                      saved("Quv-1-downloader.exe", output, image_.size(), payload.size()) + failed("save torrent", EFBIG),
                      output, c.earlier);
    }
    // Just enough room: the save goes through.
    expect_saved(run_with({}, file_size_limit(payload.size())), "Quv-1-downloader.exe", output, image_.size(), payload);
}

// The input is opened shared for reading and writing; another process may
// change it during the pause. The run reads what the file holds then.
TEST_F(HostileTest, InputChangedDuringThePause) {
    const Bytes extra = pattern_bytes(1000, 32);
    const Bytes with_trailer =
        concat(concat(pattern_bytes(40, 33), torrent_), trailer(-static_cast<int32_t>(torrent_.size())));
    const std::string input = "Quv-1-downloader.exe", output = "Quv-1-downloader.torrent";
    enum Outcome { SAVED, NOTHING, INCOMPLETE };
    const struct {
        const char* what;
        Bytes before;
        std::function<void(const fs::path&)> change;
        Outcome outcome;
    } cases[] = {
        {"grown: the torrent is saved, not what follows it", concat(image_, torrent_),
         [&](const fs::path& p) { write_file(p, concat(concat(image_, torrent_), extra)); }, SAVED},
        {"cut inside the torrent: incomplete", concat(image_, torrent_),
         [&](const fs::path& p) { fs::resize_file(p, image_.size() + 100); }, INCOMPLETE},
        // The sections now end past the file: nothing is there to save.
        {"cut inside the image: nothing found", concat(image_, torrent_),
         [&](const fs::path& p) { fs::resize_file(p, 1000); }, NOTHING},
        {"the trailer cut off: nothing found", with_trailer,
         [&](const fs::path& p) { fs::resize_file(p, with_trailer.size() - 8); }, NOTHING},
        {"emptied: nothing found", concat(image_, torrent_), [&](const fs::path& p) { fs::resize_file(p, 0); }, NOTHING},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove(work(output));
        write_file(work(input), c.before);
        RunResult r = run_with({}, {}, [&](pid_t) {
            // The program opens the file right after its first line, then waits 1000 ms.
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            c.change(work(input));
        });
        if (c.outcome == SAVED) {
            expect_saved(r, input, output, image_.size(), torrent_);
        } else if (c.outcome == INCOMPLETE) {
            expect_failed(r, extracting(input) + texts::INCOMPLETE, output);
        } else {
            EXPECT_EQ(r.out, extracting(input));
            EXPECT_EQ(r.status, 0);
            EXPECT_FALSE(fs::exists(work(output)));
        }
    }
}

// The program as the unprivileged user "nobody", when the suite runs as root.
class UnprivilegedTest : public HostileTest {
protected:
    void SetUp() override {
        HostileTest::SetUp();
        if (geteuid() != 0) return;
        struct passwd* nobody = getpwnam("nobody");
        if (!nobody) GTEST_SKIP() << "running as root and there is no user nobody to drop to";
        uid_ = nobody->pw_uid;
        gid_ = nobody->pw_gid;
        // The scratch folders must be open to that user, and the opener's log writable.
        for (const auto& dir : {dir(), work()}) fs::permissions(dir, static_cast<fs::perms>(0755));
        fs::permissions(path("bin"), static_cast<fs::perms>(0777));
        RunResult probe = run_with({"--version"}, drop());
        if (probe.status != 0)
            GTEST_SKIP() << "running as root, and the user nobody cannot run the program where it lies (status "
                         << probe.status << ")";
    }
    std::function<void()> drop() const {
        if (geteuid() != 0) return {};
        uid_t uid = uid_;
        gid_t gid = gid_;
        return [uid, gid] {
            if (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(uid) != 0) _exit(125);
        };
    }
    uid_t uid_ = 0;
    gid_t gid_ = 0;
};

TEST_F(UnprivilegedTest, AnUnreadableMatchCannotBeOpened) {
    write_file(work("Quv-1-downloader.exe"), concat(image_, torrent_));
    fs::permissions(work("Quv-1-downloader.exe"), fs::perms::none);
    expect_failed(run_with({}, drop()),
                  extracting("Quv-1-downloader.exe") + open_failed(EACCES, fs::canonical(work()).string()));
    EXPECT_EQ(work_listing(), std::vector<std::string>{"Quv-1-downloader.exe"});
}

TEST_F(UnprivilegedTest, AnUnwritableFolderLosesNothing) {
    write_file(work("Quv-1-downloader.exe"), concat(image_, torrent_));
    write_file(work("Quv-1-downloader.torrent"), std::string("earlier"));
    fs::permissions(work(), static_cast<fs::perms>(0755));
    if (geteuid() != 0) fs::permissions(work(), fs::perms::owner_write, fs::perm_options::remove);
    RunResult r = run_with({}, drop());
    fs::permissions(work(), fs::perms::owner_write, fs::perm_options::add);
    expect_failed(r, saved("Quv-1-downloader.exe", "Quv-1-downloader.torrent", image_.size(), torrent_.size()) +
                         failed("save torrent", EACCES),
                  "Quv-1-downloader.torrent", Bytes({'e', 'a', 'r', 'l', 'i', 'e', 'r'}));
    EXPECT_EQ(work_listing(), (std::vector<std::string>{"Quv-1-downloader.exe", "Quv-1-downloader.torrent"}));
}

// A folder that may be entered and written but not listed: a name in it is
// looked up directly, as a shell does; a pattern cannot be matched there,
// and the search says why.
TEST_F(UnprivilegedTest, AFolderThatCannotBeListed) {
    fs::create_directory(work("sub"));
    write_file(work("sub/Quv-1-downloader.exe"), concat(image_, torrent_));
    const fs::perms enter_and_write = fs::perms::owner_write | fs::perms::owner_exec | fs::perms::group_write |
                                      fs::perms::group_exec | fs::perms::others_write | fs::perms::others_exec;
    fs::permissions(work("sub"), enter_and_write);
    RunResult named = run_with({"sub/Quv-1-downloader.exe"}, drop());
    RunResult matched = run_with({"sub/Quv-*-downloader.exe"}, drop());
    fs::permissions(work("sub"), fs::perms::owner_read, fs::perm_options::add);
    expect_saved(named, "sub/Quv-1-downloader.exe", "sub/Quv-1-downloader.torrent", image_.size(), torrent_);
    expect_failed(matched, not_found("sub/Quv-*-downloader.exe", EACCES));
}

TEST_F(HostileTest, AnOutputThatIsASymbolicLinkOrAFifoIsReplacedNotFollowed) {
    fs::create_directory(path("elsewhere"));
    write_file(path("elsewhere/target"), std::string("keep me"));
    write_file(work("Quv-1-downloader.exe"), concat(image_, torrent_));
    fs::create_symlink(path("elsewhere/target"), work("Quv-1-downloader.torrent"));
    // A dangling link too: nothing is created where it points.
    write_file(work("Quv-2-downloader.exe"), concat(image_, torrent_));
    fs::create_symlink(path("elsewhere/missing"), work("Quv-2-downloader.torrent"));
    // A FIFO is replaced too, never opened, which would wait for a reader.
    write_file(work("Quv-3-downloader.exe"), concat(image_, torrent_));
    ASSERT_EQ(mkfifo(work("Quv-3-downloader.torrent").c_str(), 0644), 0);
    for (const char* name : {"Quv-1-downloader.exe", "Quv-2-downloader.exe", "Quv-3-downloader.exe"}) {
        SCOPED_TRACE(name);
        std::string output = fs::path(name).replace_extension(".torrent").string();
        expect_saved(run({name}), name, output, image_.size(), torrent_);
        EXPECT_FALSE(fs::is_symlink(work(output)));
    }
    EXPECT_EQ(read_file(path("elsewhere/target")), Bytes({'k', 'e', 'e', 'p', ' ', 'm', 'e'}));
    EXPECT_EQ(listing("elsewhere"), std::vector<std::string>{"target"});
}

// The opener gets each saved file's full path, or the name as printed when
// that path would not fit in MAX_PATH: "./" repeated makes a relative name
// that fits, and so does the run's every path, but not the full one.
TEST_F(HostileTest, PatternsWithParentsAbsolutePathsSpacesAndOtherBytes) {
    fs::create_directories(path("elsewhere"));
    fs::create_directories(work("my downloads"));
    fs::create_directories(work("d\xc3\xbc"));
    const std::string absolute = fs::canonical(work()).string();
    // "./" as often as the output name, its zero included, still fits in MAX_PATH.
    std::string dots;
    while (dots.size() + 2 + std::strlen("y5.torrent") + 1 <= target().path_max) dots += "./";
    const struct {
        const char* what;
        std::string file;     // relative to work/
        std::string pattern;
        std::string input;    // as the program names it
        std::string output;
        std::string opened = {};  // empty: the current directory, then the output
    } cases[] = {
        {"a parent folder", "../elsewhere/x1.exe", "../elsewhere/x*.exe", "../elsewhere/x1.exe", "../elsewhere/x1.torrent"},
        {"up and back down", "a2.exe", "../work/a*.exe", "../work/a2.exe", "../work/a2.torrent"},
        {"the current folder named", "c6.exe", "./c*.exe", "./c6.exe", "./c6.torrent"},
        {"an absolute path", "b3.exe", absolute + "/b*.exe", absolute + "/b3.exe", absolute + "/b3.torrent",
         absolute + "/b3.torrent"},
        {"spaces", "my downloads/Quv 4 downloader.exe", "my downloads/Quv * downloader.exe",
         "my downloads/Quv 4 downloader.exe", "my downloads/Quv 4 downloader.torrent"},
        {"UTF-8 letters", "d\xc3\xbc/Quv-\xc3\xa9-downloader.exe", "d\xc3\xbc/Quv-*-downloader.exe",
         "d\xc3\xbc/Quv-\xc3\xa9-downloader.exe", "d\xc3\xbc/Quv-\xc3\xa9-downloader.torrent"},
        {"bytes that are no UTF-8", "\xff\xfe-\x80.exe", "\xff*.exe", "\xff\xfe-\x80.exe", "\xff\xfe-\x80.torrent"},
        // Only * and ? are wildcards: a backslash is a byte of the name, and
        // ? stands for one character, here two bytes.
        {"a backslash", "back\\slash.exe", "back\\slash.exe", "back\\slash.exe", "back\\slash.torrent"},
        {"? over a two-byte letter", "caf\xc3\xa9.exe", "caf?.exe", "caf\xc3\xa9.exe", "caf\xc3\xa9.torrent"},
        {"a full path longer than MAX_PATH", "y5.exe", dots + "y*.exe", dots + "y5.exe", dots + "y5.torrent",
         dots + "y5.torrent"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        write_file(work(c.file), concat(image_, torrent_));
        expect_saved(run({c.pattern}), c.input, c.output, image_.size(), torrent_,
                     c.opened.empty() ? absolute + "/" + c.output : c.opened);
    }
    EXPECT_EQ(listing("elsewhere"), (std::vector<std::string>{"x1.exe", "x1.torrent"}));
    // ".." itself matches the parent folder, which cannot be opened as a file.
    expect_failed(run({".."}), extracting("..") + open_failed(EISDIR, absolute));
}

// A working directory deeper than the longest path: its full name cannot
// be had, so the opener gets the output's name as it stands.
TEST_F(HostileTest, AWorkingDirectoryLongerThanAnyPath) {
    const Bytes file = concat(image_, torrent_);
    RunResult r = run_with({"x.exe"}, [&] {
        enter_folder_of_length(target().path_max + 100);
        int fd = open("x.exe", O_WRONLY | O_CREAT | O_EXCL, 0644);
        if (fd < 0 || write(fd, file.data(), file.size()) != static_cast<ssize_t>(file.size())) _exit(125);
        close(fd);
    });
    // The output lies in the deep folder, not in work/.
    EXPECT_EQ(r.out, saved("x.exe", "x.torrent", image_.size(), torrent_.size()));
    EXPECT_EQ(r.status, 0);
    will_open("x.torrent");
    EXPECT_EQ(std::system(("rm -rf '" + work().string() + "'/d*").c_str()), 0);
}

// Only files are read: a FIFO, whose open would wait for a writer for
// ever, and a device fail the open at once, as a directory does. An open
// failure's message shows the working directory only when it can be had
// whole: at the root, but not once deleted, nor when exactly as long as
// the longest path (the zero included).
TEST_F(HostileTest, OpenFailures) {
#ifdef EFTYPE
    const int not_a_file = EFTYPE;
#else
    const int not_a_file = EINVAL;
#endif
    ASSERT_EQ(mkfifo(work("Quv-9-downloader.exe").c_str(), 0644), 0);
    const std::string sub = work("sub").string(), here = "  current directory " + fs::canonical(work()).string() + "\n";
    auto too_long = [] {
        enter_folder_of_length(target().path_max);  // with its zero, one byte too long
        if (mkdir("sub", 0755) != 0) _exit(125);
    };
    auto deleted = [&] {
        if (mkdir(sub.c_str(), 0755) != 0 || mkdir("gone", 0755) != 0 || chdir("gone") != 0 || rmdir("../gone") != 0)
            _exit(125);
    };
    const struct {
        std::string pattern;
        int error;
        std::string shown;
        std::function<void()> enter = {};
    } cases[] = {
        {"Quv-9-downloader.exe", not_a_file, here},
        {"/dev/null", not_a_file, here},
        {"sub", EISDIR, "", too_long},
        {sub, EISDIR, "", deleted},
        {"tmp", EISDIR, "  current directory /\n", [] { if (chdir("/") != 0) _exit(125); }},
    };
    for (const auto& c : cases)
        expect_failed(run_with({c.pattern}, c.enter), extracting(c.pattern) + failed("open input file", c.error) + c.shown);
    EXPECT_EQ(std::system(("rm -rf '" + work().string() + "'/d*").c_str()), 0);
    EXPECT_EQ(work_listing(), (std::vector<std::string>{"Quv-9-downloader.exe", "sub"}));
}

// Where pefile, an independent reader of the format, says that the data
// appended to `image` starts, as it prints it ("None" for nowhere).
// Debian's python3-pefile serves /usr/bin/python3, which need not be the
// first python3 on PATH.
std::string pefile_overlay(const fs::path& image) {
    std::string out = command_output(
        "for python in python3 /usr/bin/python3; do \"$python\" -c 'import pefile' 2> /dev/null && exec \"$python\" -c "
        "'import pefile, sys; print(pefile.PE(sys.argv[1]).get_overlay_data_start_offset())' '" +
        image.string() + "'; done; echo 'no python3 with pefile (python3-pefile)'");
    return out.substr(0, out.find('\n'));
}

// Every image of the table, each case on its own (they mostly wait through
// the program's pause): nothing out of bounds, and the data the rules name
// saved when it is a torrent; pefile confirms where some of them begin.
class PeExtremesTest : public EndToEndTest, public ::testing::WithParamInterface<PeExtreme> {};

TEST_P(PeExtremesTest, TheAppendedTorrentIsSaved) {
    const PeExtreme& row = GetParam();
    const Bytes file = pe_extreme_image(row);
    write_file(work("x.exe"), file);
    if (row.pefile_agrees) {
        EXPECT_EQ(pefile_overlay(work("x.exe")), std::to_string(row.offset));
    }
    RunResult r = run({"x.exe"});
    if (pe_extreme_holds_torrent(row)) {
        expect_saved(r, "x.exe", "x.torrent", row.offset, Bytes(file.begin() + row.offset, file.end()));
    } else {
        EXPECT_EQ(r.out, extracting("x.exe"));
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(work_listing(), std::vector<std::string>{"x.exe"});
    }
}

INSTANTIATE_TEST_SUITE_P(Table, PeExtremesTest, ::testing::ValuesIn(pe_extremes()));

// Console output is best effort: a reader that went away, a full disk or a
// closed descriptor never costs the save, and the status is the one the run
// earned. SIGPIPE has its default action, as in a shell's pipeline. A file
// the run opens never takes the number of a closed standard descriptor.
TEST_F(HostileTest, OutputThatGoesNowhere) {
    auto reader_gone = [] {
        int fds[2];
        if (pipe(fds) != 0 || close(fds[0]) != 0 || dup2(fds[1], 1) != 1 || close(fds[1]) != 0) _exit(125);
    };
    auto full = [] {
        int fd = open("/dev/full", O_WRONLY);
        if (fd < 0 || dup2(fd, 1) != 1 || close(fd) != 0) _exit(125);
    };
    const struct {
        const char* what;
        std::function<void()> output;
        const char* needs = nullptr;  // a file the case cannot do without
    } cases[] = {
        {"a pipe whose reader is gone (| head -1)", reader_gone},
        {"a full disk (> /dev/full)", full, "/dev/full"},
        {"closed (>&-)", [] { close(1); }},
        {"closed, and standard error too", [] { close(1), close(2); }},
        {"standard error closed (2>&-)", [] { close(2); }},
    };
    // The descriptors are read from /proc; what this system lacks is left
    // out, and the test then says so.
    const bool proc = fs::exists("/proc/self/fd");
    std::string lacking = proc ? "" : " /proc";
    write_file(work("Quv-1-downloader.exe"), downloader());
    const fs::path input = fs::canonical(work("Quv-1-downloader.exe"));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.needs && !fs::exists(c.needs)) {
            lacking += std::string(" ") + c.needs;
            continue;
        }
        fs::remove(work("Quv-1-downloader.torrent"));
        auto setup = [&] {
            signal(SIGPIPE, SIG_DFL);
            c.output();
            // Nothing but the standard three, as from a shell, and the
            // descriptor by which the suite knows when the opener is done.
            for (int fd = STDERR_FILENO + 1; fd < 1024; ++fd)
                if (fd != OPENERS_WATCH_FD) close(fd);
        };
        long flags = 0;
        EXPECT_EQ(run_with({}, setup, [&](pid_t pid) { flags = proc ? input_descriptor_flags(pid, input) : 0; }).status, 0);
        // On the lowest number past the standard three, so nothing else took
        // one; opened without blocking, so that a FIFO is refused, and then a
        // file's usual descriptor again.
        EXPECT_NE(flags, -1) << "descriptor 3 is not the input";
        EXPECT_EQ(flags & O_NONBLOCK, 0) << std::oct << flags;
        EXPECT_EQ(read_file(work("Quv-1-downloader.torrent")), torrent_);
        will_open(target().opened_path(work(), "Quv-1-downloader.torrent"));
        EXPECT_EQ(run_with({"nothing*.exe"}, setup).status, 1);
        EXPECT_EQ(temporaries_beside(work("Quv-1-downloader.torrent")), std::vector<std::string>{});
    }
    if (!lacking.empty()) GTEST_SKIP() << "in part: this system has no" << lacking;
}

// A signal that ends the run in the middle of a save takes the temporary
// file with it and leaves the earlier output as it was; the process still
// ends by that signal.
TEST_F(HostileTest, InterruptedSaveLeavesNothingBehind) {
    const Bytes earlier = {'e', 'a', 'r', 'l', 'i', 'e', 'r'};
    // Large enough that the save is still going when the signal comes.
    write_file(work("Quv-1-downloader.exe"), concat(image_, torrent_with_pieces(Bytes(64 << 20, 0x5A))));
    const fs::path output = work("Quv-1-downloader.torrent");
    // A shell's job gets SIGINT and SIGQUIT at their defaults.
    auto as_a_job = [] {
        signal(SIGINT, SIG_DFL);
        signal(SIGQUIT, SIG_DFL);
    };
    for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGQUIT}) {
        SCOPED_TRACE(sig);
        write_file(work("Quv-1-downloader.torrent"), earlier);
        bool seen = false;
        RunResult r = run_with({}, as_a_job, [&](pid_t pid) {
            // The temporary file appears once the pause and the search are over.
            seen = wait_until(std::chrono::seconds(30), [&] { return !temporaries_beside(output).empty(); });
            kill(pid, sig);
        });
        EXPECT_TRUE(seen) << "the save never started";
        EXPECT_EQ(r.status, 128 + sig);
        EXPECT_EQ(temporaries_beside(output), std::vector<std::string>{});
        EXPECT_EQ(read_file(output), earlier);
    }
}

}  // namespace
