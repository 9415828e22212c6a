// The program from the outside: exact output, exit status, files left behind
// and what the desktop was asked to open.
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
        fs::remove(path("bin/opened.log"));
        RunResult r = run(args);
        EXPECT_EQ(r.out, success("Quv-2-downloader.exe", "Quv-2-downloader.torrent", image_.size(), torrent_.size()));
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(read_file(work("Quv-2-downloader.torrent")), torrent_);
        EXPECT_EQ(opened(), target().opened_path(work(), "Quv-2-downloader.torrent") + "\n");
        EXPECT_FALSE(fs::exists(work("Quv-1-downloader.torrent")));
    }
}

TEST_F(CliTest, ATorrentClientReadsTheSavedFile) {
    write_file(work("Quv-7-downloader.exe"), downloader());
    ASSERT_EQ(run().status, 0);
    std::string command = "transmission-show '" + work("Quv-7-downloader.torrent").string() + "' > '" +
                          path("show.txt").string() + "' 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0) << "transmission-show must be installed";
    Bytes shown = read_file(path("show.txt"));
    std::string text(shown.begin(), shown.end());
    EXPECT_NE(text.find("Name: content"), std::string::npos) << text;
    EXPECT_NE(text.find("readme.txt"), std::string::npos) << text;
}

// Each kind of downloader gives up its payload, which replaces an earlier
// output as a whole; an empty one gives up nothing.
TEST_F(CliTest, SavesWhatEachKindOfDownloaderCarries) {
    Bytes signed_image = read_file(fixture("signed64-payload.exe"));
    size_t padded = (torrent_.size() + 7) & ~size_t{7};
    Bytes padded_torrent = torrent_;
    padded_torrent.resize(padded, 0);
    const Bytes earlier(5000, 'x');  // longer than any payload here
    const Bytes back = trailer(-static_cast<int32_t>(torrent_.size()));
    const struct {
        const char* name;
        Bytes file;
        size_t offset;
        Bytes expected;  // empty: nothing appended, so nothing to save
    } cases[] = {
        {"pe32.exe", concat(read_file(fixture("hello32.exe")), torrent_), 14848, torrent_},
        {"pe64.exe", downloader(), 14848, torrent_},
        // The signature stays out; the signer's alignment padding is in the stretch.
        {"signed.exe", signed_image, 14848, padded_torrent},
        // A trailer inside the image's appended data names the torrent there.
        {"trailer.exe", concat(concat(concat(image_, pattern_bytes(64, 4)), torrent_), back), image_.size() + 64, torrent_},
        // A back offset of 0: the payload is the trailer itself.
        {"back-zero.exe", concat(pattern_bytes(30, 7), trailer(0)), 30, trailer(0)},
        // An empty payload is no torrent: an earlier one of the name stays.
        {"bare.exe", image_, image_.size(), Bytes{}},
        {"signed-only.exe", read_file(fixture("signed64.exe")), 16352, Bytes{}},
    };
    std::string opened_paths;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        write_file(work(c.name), c.file);
        std::string output = fs::path(c.name).replace_extension(".torrent").string();
        write_file(work(output), earlier);
        RunResult r = run({c.name});
        EXPECT_EQ(r.status, 0);
        if (c.expected.empty()) {
            EXPECT_EQ(r.out, "Extracting from " + std::string(c.name) + "...\n");
            EXPECT_EQ(read_file(work(output)), earlier);
        } else {
            EXPECT_EQ(r.out, success(c.name, output, c.offset, c.expected.size()));
            EXPECT_EQ(read_file(work(output)), c.expected);
            opened_paths += target().opened_path(work(), output) + "\n";
        }
        EXPECT_EQ(temporaries_beside(work(output)), std::vector<std::string>{});
    }
    EXPECT_EQ(opened(), opened_paths);
}

TEST_F(CliTest, NoMatchWaitsAndFails) {
    write_file(work("other.exe"), downloader());
    RunResult r = run();
    EXPECT_EQ(r.out, std::string("Could not find any Quv-*-downloader.exe\n") + PROMPT);
    EXPECT_EQ(r.status, 1);
    r = run({"nothing/x*.exe"});
    EXPECT_EQ(r.out, std::string("Could not find any nothing/x*.exe\n") + PROMPT);
    EXPECT_EQ(r.status, 1);
    // Several patterns, as typed; an option only counts as the first argument.
    r = run({"x*.exe", "my file.exe", "--help"});
    EXPECT_EQ(r.out, std::string("Could not find any x*.exe my file.exe --help\n") + PROMPT);
    EXPECT_EQ(r.status, 1);
}

TEST_F(CliTest, ANewerMatchingDirectoryCannotBeOpened) {
    write_file(work("Quv-1-downloader.exe"), downloader());
    set_age(work("Quv-1-downloader.exe"), 100);
    fs::create_directory(work("Quv-2-downloader.exe"));
    RunResult r = run();
    std::string cwd = target().program_path(fs::canonical(work()));
    EXPECT_EQ(r.out, "Extracting from Quv-2-downloader.exe...\nCould not open input file!  Error " +
                         std::to_string(target().error_is_directory) + "\n  current directory " + cwd + "\n" +
                         PROMPT);
    EXPECT_EQ(r.status, 1);
}

// On a terminal (a console under Wine) a failure waits for one key, which is
// not echoed. A name outside ASCII shows as it is there too; on Windows the
// console then prints in UTF-8, the code page of the program's manifest.
TEST_F(CliTest, AFailureWaitsForAKeyOnTheTerminal) {
    const std::string pattern = "n\xC3\xB6thing-\xE6\x97\xA5*.exe";  // o-umlaut, a kanji
    const std::string expected = "Could not find any " + pattern + "\n" + PROMPT;
    PtyRun run(program({pattern}));
    ASSERT_TRUE(run.read_until(expected)) << run.shown();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_TRUE(run.running()) << "it must wait for a key";
    run.type("q");
    EXPECT_EQ(run.wait_for_exit(), 1);
    run.drain(200);
    const std::string shown = run.shown();
    EXPECT_EQ(shown.find('q', shown.find(expected) + expected.size()), std::string::npos) << "echoed: " << shown;
}

TEST_F(CliTest, NoPayloadIsQuietSuccess) {
    write_file(work("Quv-0-downloader.exe"), pattern_bytes(5000, 8));
    RunResult r = run();
    EXPECT_EQ(r.out, "Extracting from Quv-0-downloader.exe...\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(work_listing(), std::vector<std::string>{"Quv-0-downloader.exe"});
    EXPECT_EQ(opened(), "");
}

TEST_F(CliTest, APatternsDirectoryIsKept) {
    fs::create_directories(work("dl/old"));
    fs::create_directories(work("dl.new"));
    write_file(work("dl/old/x1.exe"), downloader());
    write_file(work("x1.exe"), pattern_bytes(100, 9));  // same name, not the match
    write_file(work("dl.new/setup"), downloader());
    RunResult r = run({"dl/old/x*.exe"});
    EXPECT_EQ(r.out, success("dl/old/x1.exe", "dl/old/x1.torrent", image_.size(), torrent_.size()));
    EXPECT_EQ(read_file(work("dl/old/x1.torrent")), torrent_);
    // Each match is opened with its own pattern's directory part.
    set_age(work("x1.exe"), 100);
    fs::remove(work("dl/old/x1.torrent"));
    r = run({"x*.exe", "dl/old/x*.exe"});
    EXPECT_EQ(r.out, success("dl/old/x1.exe", "dl/old/x1.torrent", image_.size(), torrent_.size()));
    EXPECT_EQ(read_file(work("dl/old/x1.torrent")), torrent_);
    // A dot in a directory name is not the file's extension.
    r = run({"dl.new/set*"});
    EXPECT_EQ(r.out, success("dl.new/setup", "dl.new/setup.torrent", image_.size(), torrent_.size()));
    EXPECT_EQ(read_file(work("dl.new/setup.torrent")), torrent_);
    EXPECT_FALSE(fs::exists(work("dl.torrent")));
}

// A save that fails says so, waits, ends with 1, opens nothing and loses nothing.
TEST_F(CliTest, FailedSavesAreReported) {
    const Bytes earlier = {'o', 'l', 'd'};
    const struct {
        const char* name;
        Bytes file;
        std::string located;
        std::string failure;
    } cases[] = {
        {"before-start.exe", concat(pattern_bytes(40, 5), trailer(-100)), located(0xFFFFFFC4u, 100),
         "Could not save torrent!  Error " + std::to_string(target().error_negative_seek) + "\n"},
        {"into-a-dir.exe", downloader(), located(image_.size(), torrent_.size()),
         "Could not save torrent!  Error " + std::to_string(target().error_is_directory) + "\n"},
    };
    fs::create_directory(work("into-a-dir.torrent"));
    write_file(work("before-start.torrent"), earlier);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        write_file(work(c.name), c.file);
        RunResult r = run({c.name});
        std::string output = fs::path(c.name).replace_extension(".torrent").string();
        EXPECT_EQ(r.out, "Extracting from " + std::string(c.name) + "...\n" + c.located + "Saving torrent to " +
                             output + "...\n" + c.failure + PROMPT);
        EXPECT_EQ(r.status, 1);
    }
    EXPECT_EQ(read_file(work("before-start.torrent")), earlier);
    EXPECT_TRUE(fs::is_directory(work("into-a-dir.torrent")));
    EXPECT_EQ(work_listing(), (std::vector<std::string>{"before-start.exe", "before-start.torrent",
                                                        "into-a-dir.exe", "into-a-dir.torrent"}));
    EXPECT_EQ(opened(), "");
}

TEST_F(CliTest, NeverReplacesTheInputItself) {
    Bytes file = concat(concat(pattern_bytes(30, 6), torrent_), trailer(-static_cast<int32_t>(torrent_.size())));
    write_file(work("x.torrent"), file);
    RunResult r = run({"*.torrent"});
    EXPECT_EQ(r.out, "Extracting from x.torrent...\n" + located(30, torrent_.size()) +
                         "Saving torrent to x.torrent...\nCould not save torrent!  It would replace the input file\n" +
                         PROMPT);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(read_file(work("x.torrent")), file);
}

TEST_F(CliTest, RefusesInputsOfTwoGibibytes) {
    write_file(work("Quv-big-downloader.exe"), downloader());
    fs::resize_file(work("Quv-big-downloader.exe"), uintmax_t{1} << 31);  // sparse
    RunResult r = run();
    EXPECT_EQ(r.out, std::string("Extracting from Quv-big-downloader.exe...\n"
                                 "Input file is too large!  It must be smaller than 2 GiB\n") + PROMPT);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(work_listing(), std::vector<std::string>{"Quv-big-downloader.exe"});
}

TEST_F(CliTest, PathsThatDoNotFitAreRefused) {
    const size_t limit = target().path_max;
    // "./" repeated: a directory part as long as we like, naming work/ itself.
    auto dots = [](size_t pairs) {
        std::string s;
        for (size_t i = 0; i < pairs; ++i) s += "./";
        return s;
    };
    std::string long_name = "x" + std::string(200, 'a') + ".exe";
    write_file(work(long_name), downloader());
    RunResult r = run({dots(limit / 2 - 50) + "x*.exe"});
    EXPECT_EQ(r.out, std::string("Input path is too long!\n") + PROMPT);
    EXPECT_EQ(r.status, 1);

    // The input path fits, the output's longer extension does not.
    std::string dir = dots((limit - 120) / 2);
    std::string name = "y" + std::string(limit - dir.size() - 7, 'b');
    write_file(work(name), concat(concat(pattern_bytes(20, 2), torrent_), trailer(-static_cast<int32_t>(torrent_.size()))));
    r = run({dir + "y*"});
    EXPECT_EQ(r.out, "Extracting from " + dir + name + "...\n" + located(20, torrent_.size()) +
                         "Output path is too long!\n" + PROMPT);
    EXPECT_EQ(r.status, 1);

    // The longest output name the system takes still saves: the temporary
    // file's name is no longer. POSIX limits a name (255 bytes), Windows
    // the whole path (259 characters and the zero).
    size_t longest = std::string(target().name) == "windows"
                         ? limit - 1 - target().program_path(work()).size() - 1
                         : static_cast<size_t>(pathconf(work().c_str(), _PC_NAME_MAX));
    std::string stem(longest - std::strlen(".torrent"), 'z');
    write_file(work(stem + ".exe"), downloader());
    r = run({stem + ".exe"});
    EXPECT_EQ(r.out, success(stem + ".exe", stem + ".torrent", image_.size(), torrent_.size()));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(read_file(work(stem + ".torrent")), torrent_);
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
        fs::remove(path("bin/opened.log"));
        write_file(work(name + ".exe"), downloader());
        RunResult r = run({name + ".exe"});
        EXPECT_EQ(r.out, success(name + ".exe", name + ".torrent", image_.size(), torrent_.size()));
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(read_file(work(name + ".torrent")), torrent_);
        EXPECT_EQ(opened(), target().opened_path(work(), name + ".torrent") + "\n");
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
    EXPECT_EQ(r.out.substr(0, r.out.find('\n') + 1), "Extracting from Quv-1-downloader.exe...\n");
}

TEST_F(CliTest, HelpAndVersion) {
    write_file(work("Quv-1-downloader.exe"), downloader());
    for (const char* flag : {"-h", "--help"}) {
        RunResult r = run({flag});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out.rfind("Usage: dl2torrent [PATTERN...]\n", 0), 0u) << r.out;
        EXPECT_NE(r.out.find("\"Quv-*-downloader.exe\""), std::string::npos);
        EXPECT_NE(r.out.find("Exit status"), std::string::npos);
    }
    RunResult r = run({"--version"});
    EXPECT_EQ(r.out, "dl2torrent " DL2TORRENT_VERSION_TEXT "\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(work_listing(), std::vector<std::string>{"Quv-1-downloader.exe"});
}

}  // namespace
