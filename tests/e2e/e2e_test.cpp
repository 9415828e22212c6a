// The program from the outside: exact output, exit status, files left behind
// and what the desktop was asked to open.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <thread>

#include "harness.h"

namespace {

namespace fs = std::filesystem;
using namespace texts;

class CliTest : public DownloaderTest {
protected:
    void set_age(const fs::path& file, int seconds_ago) {
        fs::last_write_time(file, fs::file_time_type::clock::now() - std::chrono::seconds(seconds_ago));
    }
};

TEST_F(CliTest, SavesTheTorrentOfTheNewestDownloaderAndOpensIt) {
    write_file(work("Quv-1-downloader.exe"), concat(image_, pattern_bytes(500, 1)));
    write_file(work("Quv-2-downloader.exe"), downloader());
    write_file(work("Quv-3-downloader.exe"), concat(image_, pattern_bytes(700, 3)));
    set_age(work("Quv-1-downloader.exe"), 300);
    set_age(work("Quv-2-downloader.exe"), 100);
    set_age(work("Quv-3-downloader.exe"), 200);
    // The default pattern, and the same typed unquoted: the shell passes
    // each match as an argument of its own, in the order of their names.
    const std::vector<std::string> command_lines[] = {
        {}, {"Quv-1-downloader.exe", "Quv-2-downloader.exe", "Quv-3-downloader.exe"}};
    for (const auto& args : command_lines) {
        SCOPED_TRACE(args.size());
        fs::remove(work("Quv-2-downloader.torrent"));
        expect_saved(run(args), "Quv-2-downloader.exe", "Quv-2-downloader.torrent", image_.size(), torrent_);
        EXPECT_FALSE(fs::exists(work("Quv-1-downloader.torrent")));
    }
}

TEST_F(CliTest, ATorrentClientReadsTheSavedFile) {
    write_file(work("Quv-7-downloader.exe"), downloader());
    expect_saved(run(), "Quv-7-downloader.exe", "Quv-7-downloader.torrent", image_.size(), torrent_);
    const std::string text = command_output("transmission-show '" + work("Quv-7-downloader.torrent").string() + "' 2>&1");
    EXPECT_NE(text.find("Name: content"), std::string::npos) << text << "(transmission-show must be installed)";
    EXPECT_NE(text.find("readme.txt"), std::string::npos) << text;
}

// Only a complete torrent is saved, exactly, and it replaces an earlier
// output as a whole; anything else at the payload's place is no torrent, or
// one cut short, as a download still under way, and leaves the earlier one.
TEST_F(CliTest, OnlyCompleteTorrentsAreSaved) {
    enum Outcome { SAVED, NOTHING, INCOMPLETE };
    const Bytes earlier(5000, 'x');  // longer than any torrent here
    const Bytes signed_only = read_file(fixture("signed64.exe")), unstripped = read_file(fixture("hello64-unstripped.exe"));
    const Bytes half(torrent_.begin(), torrent_.begin() + static_cast<long>(torrent_.size() / 2));
    const Bytes one_short(torrent_.begin(), torrent_.end() - 1);
    // A torrent whose last piece of the copy, in 4096-byte chunks, is a single byte.
    const Bytes odd = make_torrent(4096 + 1, 12);
    // Code that holds the magic, with a value that puts its payload 2 GiB on.
    Bytes stray = image_;
    std::copy_n("PSER\xF0\xFF\xFF\x7F", 8, stray.begin() + 0x1000);
    auto size = [](const Bytes& b) { return static_cast<int32_t>(b.size()); };
    const struct {
        const char* name;
        Bytes file;
        Outcome outcome;
        size_t offset = 0;  // when saved: the torrent's
        const Bytes* saved = nullptr;  // when saved: the torrent, if not the sample
    } cases[] = {
        {"pe32.exe", concat(read_file(fixture("hello32.exe")), torrent_), SAVED, 14848},
        {"pe64.exe", downloader(), SAVED, 14848},
        // The signature and the signer's alignment padding stay out.
        {"signed.exe", read_file(fixture("signed64-payload.exe")), SAVED, 14848},
        {"signed-then-appended.exe", concat(signed_only, torrent_), SAVED, signed_only.size()},
        {"unstripped-appended.exe", concat(unstripped, torrent_), SAVED, unstripped.size()},
        {"stray-magic.exe", concat(stray, torrent_), SAVED, 14848},
        {"one-byte-end.exe", concat(image_, odd), SAVED, 14848, &odd},
        // A trailer inside the image's appended data names the torrent there.
        {"trailer.exe", concat(concat(concat(image_, pattern_bytes(64, 4)), torrent_), trailer(-size(torrent_))), SAVED,
         image_.size() + 64},
        {"bare.exe", image_, NOTHING},
        {"signed-only.exe", signed_only, NOTHING},
        {"unstripped.exe", unstripped, NOTHING},
        {"installer.exe", read_file(fixture("nsis-installer.exe")), NOTHING},
        {"not-bencoded.exe", concat(image_, pattern_bytes(500, 1)), NOTHING},
        {"no-info.exe", concat(image_, ByteBuilder().text("d8:announce3:udpe").data()), NOTHING},
        {"deep.exe", concat(image_, ByteBuilder().text("d4:info" + std::string(200, 'd')).data()), NOTHING},
        {"before-start.exe", concat(pattern_bytes(40, 5), trailer(-100)), NOTHING},
        {"back-zero.exe", concat(pattern_bytes(30, 7), trailer(0)), NOTHING},
        {"half.exe", concat(image_, half), INCOMPLETE},
        {"one-short.exe", concat(image_, one_short), INCOMPLETE},
        {"short-trailer.exe", concat(concat(pattern_bytes(9, 2), one_short), trailer(-size(one_short))), INCOMPLETE},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        write_file(work(c.name), c.file);
        std::string output = fs::path(c.name).replace_extension(".torrent").string();
        write_file(work(output), earlier);
        RunResult r = run({c.name});
        if (c.outcome == SAVED) {
            expect_saved(r, c.name, output, c.offset, c.saved ? *c.saved : torrent_);
        } else if (c.outcome == INCOMPLETE) {
            expect_failed(r, extracting(c.name) + texts::INCOMPLETE, output, earlier);
        } else {
            EXPECT_EQ(r.out, extracting(c.name));
            EXPECT_EQ(r.status, 0);
            EXPECT_EQ(read_file(work(output)), earlier);
        }
    }
}

TEST_F(CliTest, NoMatchWaitsAndFails) {
    write_file(work("other.exe"), downloader());
    expect_failed(run(), not_found("Quv-*-downloader.exe"));
    expect_failed(run({"nothing/x*.exe"}), not_found("nothing/x*.exe"));
    // A folder's name with a slash, as a shell completes it, names no file.
    fs::create_directory(work("sub"));
    expect_failed(run({"sub/"}), not_found("sub/"));
    // Several patterns, as typed; an option only counts as the first argument.
    expect_failed(run({"x*.exe", "my file.exe", "--help"}), not_found("x*.exe my file.exe --help"));
}

TEST_F(CliTest, ANewerMatchingDirectoryCannotBeOpened) {
    write_file(work("Quv-1-downloader.exe"), downloader());
    set_age(work("Quv-1-downloader.exe"), 100);
    fs::create_directory(work("Quv-2-downloader.exe"));
    expect_failed(run(), extracting("Quv-2-downloader.exe") +
                             open_failed(target().error_is_directory, target().program_path(fs::canonical(work()))));
}

// On a terminal (a console under Wine) a failure waits for one key, which is
// not echoed. A name outside ASCII shows as it is there too; on Windows the
// console then prints in UTF-8, the code page of the program's manifest.
TEST_F(CliTest, AFailureWaitsForAKeyOnTheTerminal) {
    const std::string pattern = "n\xC3\xB6thing-\xE6\x97\xA5*.exe";  // o-umlaut, a kanji
    const std::string expected = not_found(pattern) + PROMPT;
    PtyRun run(program({pattern}));
    ASSERT_TRUE(run.answer(expected, "q")) << run.shown();
    EXPECT_EQ(run.wait_for_exit(), 1);
    run.drain(200);
    const std::string shown = run.shown();
    EXPECT_EQ(shown.find('q', shown.find(expected) + expected.size()), std::string::npos) << "echoed: " << shown;
}

TEST_F(CliTest, NoPayloadIsQuietSuccess) {
    write_file(work("Quv-0-downloader.exe"), pattern_bytes(5000, 8));
    RunResult r = run();
    EXPECT_EQ(r.out, extracting("Quv-0-downloader.exe"));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(work_listing(), std::vector<std::string>{"Quv-0-downloader.exe"});
}

TEST_F(CliTest, APatternsDirectoryIsKept) {
    fs::create_directories(work("dl/old"));
    fs::create_directories(work("dl.new"));
    write_file(work("dl/old/x1.exe"), downloader());
    write_file(work("x1.exe"), pattern_bytes(100, 9));  // same name, not the match
    write_file(work("dl.new/setup"), downloader());
    expect_saved(run({"dl/old/x*.exe"}), "dl/old/x1.exe", "dl/old/x1.torrent", image_.size(), torrent_);
    // Each match is opened with its own pattern's directory part.
    set_age(work("x1.exe"), 100);
    fs::remove(work("dl/old/x1.torrent"));
    expect_saved(run({"x*.exe", "dl/old/x*.exe"}), "dl/old/x1.exe", "dl/old/x1.torrent", image_.size(), torrent_);
    // A dot in a directory name is not the file's extension.
    expect_saved(run({"dl.new/set*"}), "dl.new/setup", "dl.new/setup.torrent", image_.size(), torrent_);
    EXPECT_FALSE(fs::exists(work("dl.torrent")));
}

// A save that fails says so, waits, ends with 1, opens nothing and loses nothing.
TEST_F(CliTest, AFailedSaveIsReported) {
    fs::create_directory(work("into-a-dir.torrent"));
    write_file(work("into-a-dir.exe"), downloader());
    expect_failed(run({"into-a-dir.exe"}), saved("into-a-dir.exe", "into-a-dir.torrent", image_.size(), torrent_.size()) +
                                              failed("save torrent", target().error_is_directory));
    EXPECT_TRUE(fs::is_directory(work("into-a-dir.torrent")));
    EXPECT_EQ(work_listing(), (std::vector<std::string>{"into-a-dir.exe", "into-a-dir.torrent"}));
}

// The input is never replaced by its own payload. Whether a name that
// differs in letter case is the same file is the file system's answer: on
// Linux X.TORRENT and X.torrent are two files, on Windows and on a Mac's
// default volume one.
TEST_F(CliTest, NeverReplacesTheInputItself) {
    Bytes file = concat(concat(pattern_bytes(30, 6), torrent_), trailer(-static_cast<int32_t>(torrent_.size())));
    // Wine folds letter case for the program; elsewhere the file system says.
    write_file(work("x.torrent"), file);
    const bool one_name = std::string(target().name) == "windows" || fs::exists(work("X.TORRENT"));
    for (const std::string name : {"x.torrent", "X.TORRENT"}) {
        SCOPED_TRACE(name);
        write_file(work(name), file);
        RunResult r = run({name});
        const std::string output = fs::path(name).stem().string() + ".torrent";
        if (name == "x.torrent" || one_name)
            expect_failed(r, saved(name, output, 30, torrent_.size()) + WOULD_REPLACE_INPUT);
        else
            expect_saved(r, name, output, 30, torrent_);
        EXPECT_EQ(read_file(work(name)), file);
        fs::remove(work(name));
        fs::remove(work("X.torrent"));
    }
}

// Offsets are signed 32-bit: an input of 2 GiB is refused, one a byte
// smaller is read to its end.
TEST_F(CliTest, InputsSmallerThanTwoGibibytes) {
    const Bytes tail = concat(torrent_, trailer(-size(torrent_)));
    const std::string name = "Quv-big-downloader.exe";
    for (uint64_t size : {uint64_t{1} << 31, (uint64_t{1} << 31) - 1}) {
        SCOPED_TRACE(size);
        write_file(work(name), Bytes{});
        fs::resize_file(work(name), size - tail.size());  // sparse
        int fd = open(work(name).c_str(), O_WRONLY | O_APPEND);
        ASSERT_EQ(write(fd, tail.data(), tail.size()), static_cast<ssize_t>(tail.size()));
        close(fd);
        RunResult r = run();
        if (size >> 31) {
            expect_failed(r, extracting(name) + TOO_LARGE);
            EXPECT_EQ(work_listing(), std::vector<std::string>{name});
        } else {
            expect_saved(r, name, "Quv-big-downloader.torrent", size - tail.size(), torrent_);
        }
    }
}

TEST_F(CliTest, PathsThatDoNotFitAreRefused) {
    const size_t limit = target().path_max;
    // "./" repeated: a directory part as long as we like, naming work/ itself.
    auto dots = [](size_t pairs) { std::string s; while (pairs--) s += "./"; return s; };
    std::string long_name = "x" + std::string(200, 'a') + ".exe";
    write_file(work(long_name), downloader());
    expect_failed(run({dots(limit / 2 - 50) + "x*.exe"}), INPUT_PATH_TOO_LONG);

    // The input path fits, the output's longer extension does not.
    std::string dir = dots((limit - 120) / 2);
    std::string name = "y" + std::string(limit - dir.size() - 7, 'b');
    write_file(work(name), concat(concat(pattern_bytes(20, 2), torrent_), trailer(-static_cast<int32_t>(torrent_.size()))));
    expect_failed(run({dir + "y*"}), extracting(dir + name) + located(20, torrent_.size()) + OUTPUT_PATH_TOO_LONG);

    // The longest output name the system takes still saves: the temporary
    // file's name is no longer. POSIX limits a name (255 bytes), Windows
    // the whole path (259 characters and the zero).
    size_t longest = std::string(target().name) == "windows"
                         ? limit - 1 - target().program_path(work()).size() - 1
                         : static_cast<size_t>(pathconf(work().c_str(), _PC_NAME_MAX));
    std::string stem(longest - std::strlen(".torrent"), 'z');
    write_file(work(stem + ".exe"), downloader());
    RunResult r = run({stem + ".exe"});
    EXPECT_EQ(r.out, saved(stem + ".exe", stem + ".torrent", image_.size(), torrent_.size()));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(read_file(work(stem + ".torrent")), torrent_);
    // Wine's shell opens nothing whose full path is this long.
    if (std::string(target().name) != "windows") will_open(target().opened_path(work(), stem + ".torrent"));
}

// Names outside ASCII (and outside any one legacy code page) go through as
// they are; on Windows the UTF-8 code page of the manifest makes this work.
// A name is taken as it is typed: brackets are no wildcards, and a leading
// "-" reaches the opener as part of a full path, never as an option.
TEST_F(CliTest, UnusualNamesAreKept) {
    const std::string names[] = {
        "Quv-\xC3\xBC\xE6\x97\xA5\xD0\x96-downloader",  // u-umlaut, a kanji, a Cyrillic letter
        "Quv-x-downloader [1]",
        "-dash-downloader",
    };
    for (const auto& name : names) {
        SCOPED_TRACE(name);
        write_file(work(name + ".exe"), downloader());
        expect_saved(run({name + ".exe"}), name + ".exe", name + ".torrent", image_.size(), torrent_);
    }
}

TEST_F(CliTest, TheFirstLineIsShownBeforeThePause) {
    write_file(work("Quv-1-downloader.exe"), downloader());
    bool running = false;
    RunResult r = run_with({}, {}, [&](pid_t pid) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        running = waitpid(pid, nullptr, WNOHANG) == 0;
    });
    EXPECT_TRUE(running) << "the first line came only at the end";
    EXPECT_EQ(r.out.substr(0, r.out.find('\n') + 1), extracting("Quv-1-downloader.exe"));
    will_open(target().opened_path(work(), "Quv-1-downloader.torrent"));
}

TEST_F(CliTest, HelpAndVersion) {
    write_file(work("Quv-1-downloader.exe"), downloader());
    for (const char* flag : {"-h", "--help"}) {
        RunResult r = run({flag});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out.rfind("Usage: dl2torrent [PATTERN...]\n", 0), 0u) << r.out;
        EXPECT_NE(r.out.find("\"Quv-*-downloader.exe\""), std::string::npos);
        // The statuses it promises are those the other tests see.
        EXPECT_NE(r.out.find("Exit status: 0 when the torrent was saved or the file holds none;\n"
                             "1 when nothing matches"),
                  std::string::npos);
    }
    RunResult r = run({"--version"});
    EXPECT_EQ(r.out, "dl2torrent " DL2TORRENT_VERSION_TEXT "\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(work_listing(), std::vector<std::string>{"Quv-1-downloader.exe"});
}

}  // namespace
