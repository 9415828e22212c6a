// Names: the output derived from the input, the input from the pattern, and
// the newest of the matches.
#include <algorithm>
#include <filesystem>

#include "export.h"
#include "platform_expect.h"
#include "newest.h"
#include "support.h"

namespace {

TEST(OutputName, ReplacesTheLastExtensionOfTheFileName) {
    const struct {
        const char* input;
        const char* output;
    } cases[] = {
        {"Quv-1-downloader.exe", "Quv-1-downloader.torrent"},
        {"a-1.2-downloader.exe", "a-1.2-downloader.torrent"},
        {"dl/old/x1.exe", "dl/old/x1.torrent"},
        {"dl.new/setup", "dl.new/setup.torrent"},
        {"setup", "setup.torrent"},
        {"./setup", "./setup.torrent"},
        {"dir/.hidden", "dir/.torrent"},
        {"trailing.", "trailing.torrent"},
    };
    for (const auto& c : cases) {
        char output[MAX_PATH];
        ASSERT_TRUE(make_output_name(c.input, output, sizeof output)) << c.input;
        EXPECT_STREQ(output, c.output) << c.input;
    }
}

TEST(OutputName, RefusesWhatDoesNotFit) {
    char output[16];
    EXPECT_TRUE(make_output_name("abcdefg.exe", output, sizeof output));  // 15 bytes and the zero
    EXPECT_STREQ(output, "abcdefg.torrent");
    EXPECT_FALSE(make_output_name("abcdefgh.exe", output, sizeof output));
    EXPECT_FALSE(make_output_name("abcdefgh", output, sizeof output));
}

TEST(InputPath, KeepsTheDirectoryPartOfThePattern) {
    // Windows also ends the directory part at a backslash or a drive's colon;
    // on POSIX systems both are ordinary characters of a name.
    const struct {
        const char* pattern;
        const char* name;
        const char* posix_path;
        const char* windows_path;
    } cases[] = {
        {"Quv-*-downloader.exe", "Quv-1-downloader.exe", "Quv-1-downloader.exe", "Quv-1-downloader.exe"},
        {"dl/old/x*.exe", "x1.exe", "dl/old/x1.exe", "dl/old/x1.exe"},
        {"/abs/*.exe", "a.exe", "/abs/a.exe", "/abs/a.exe"},
        {"dl\\old\\x*.exe", "x1.exe", "x1.exe", "dl\\old\\x1.exe"},
        {"dl\\old/x*.exe", "x1.exe", "dl\\old/x1.exe", "dl\\old/x1.exe"},
        {"dl/old\\x*.exe", "x1.exe", "dl/x1.exe", "dl/old\\x1.exe"},
        {"C:x*.exe", "x1.exe", "x1.exe", "C:x1.exe"},
        {"C:\\dl\\*.exe", "x1.exe", "x1.exe", "C:\\dl\\x1.exe"},
        {"a:b/x*.exe", "x1.exe", "a:b/x1.exe", "a:b/x1.exe"},
        {"../*", "b", "../b", "../b"},
    };
    for (const auto& c : cases) {
        char path[MAX_PATH];
        ASSERT_TRUE(compose_input_path(c.pattern, c.name, path, sizeof path)) << c.pattern;
        EXPECT_STREQ(path, PLATFORM.windows ? c.windows_path : c.posix_path) << c.pattern;
    }
    char small[8];
    EXPECT_TRUE(compose_input_path("d/*", "abcde", small, sizeof small));
    EXPECT_FALSE(compose_input_path("d/*", "abcdef", small, sizeof small));
}

// In code page 932, 0x95 0x5C is one character whose second byte is the
// backslash's: cutting there would open the wrong path. The Windows tests
// run this case a second time with Wine in that code page.
TEST(InputPath, ADoubleByteCharacterIsNotCutAtItsTrailByte) {
    if (ansi_code_page() != 932) GTEST_SKIP() << "needs the ANSI code page 932";
    const struct {
        const char* pattern;
        const char* path;
    } cases[] = {
        {"\x95\x5C*.exe", "x1.exe"},
        {"\x95\x5C\\*.exe", "\x95\x5C\\x1.exe"},
        {"dir\\\x95\x5C*.exe", "dir\\x1.exe"},
        {"\x95\x5C\x95\x5C/*.exe", "\x95\x5C\x95\x5C/x1.exe"},
    };
    for (const auto& c : cases) {
        char path[MAX_PATH];
        ASSERT_TRUE(compose_input_path(c.pattern, "x1.exe", path, sizeof path));
        EXPECT_STREQ(path, c.path);
    }
}

class NewestMatchTest : public ScratchDirTest {
protected:
    void touch(const std::string& name, int seconds) {
        write_file(path(name), std::string("x"));
        std::filesystem::last_write_time(path(name), base_ + std::chrono::seconds(seconds));
    }
    // The newest match of the patterns, and which of them matched it; or
    // none, and the search's failure when one is reported.
    std::string newest(const std::vector<std::string>& patterns) {
        std::vector<std::string> full;
        for (const auto& pattern : patterns) full.push_back((dir() / pattern).string());
        std::vector<const char*> raw;
        for (const auto& pattern : full) raw.push_back(pattern.c_str());
        Match match;
        DWORD error;
        if (!find_newest_of(raw.data(), static_cast<int>(raw.size()), &match, &error))
            return error == NO_ERROR ? "<none>" : "<none>, error " + std::to_string(error);
        size_t index = std::find(raw.begin(), raw.end(), match.pattern) - raw.begin();
        return std::string(match.name) + " by " + patterns.at(index);
    }
    std::filesystem::file_time_type base_ = std::filesystem::file_time_type::clock::now();
};

TEST_F(NewestMatchTest, PicksTheLatestAndTheFirstOfEqualTimes) {
    touch("a.exe", 10);
    touch("b.exe", 11);
    touch("c.exe", 11);  // as new as b, but delivered after it
    touch("d.txt", 99);
    const struct {
        std::vector<std::string> patterns;
        const char* chosen;
    } cases[] = {
        {{"*.exe"}, "b.exe by *.exe"},
        {{"?.txt"}, "d.txt by ?.txt"},
        {{"*.zip"}, "<none>"},
        {{"missing/*.exe"}, "<none>"},
        // Several patterns, as a shell passes the matches of an unquoted one.
        {{"a.exe", "b.exe", "c.exe"}, "b.exe by b.exe"},
        {{"c.exe", "b.exe", "a.exe"}, "c.exe by c.exe"},
        {{"*.zip", "a*", "missing/*"}, "a.exe by a*"},
        {{"[ab].exe", "?.exe"}, "b.exe by ?.exe"},
        {{"*.zip", "missing/*"}, "<none>"},
        {{"missing/b.exe", "b.exe/"}, "<none>"},
    };
    for (const auto& c : cases) EXPECT_EQ(newest(c.patterns), c.chosen) << c.patterns[0];
    // A name without a wildcard is looked up, not listed; on POSIX a file
    // taken for a folder is no such folder (ENOTDIR).
    if (!PLATFORM.windows) {
        EXPECT_EQ(newest({"a.exe/b.exe", "a.exe/*"}), "<none>");
    }
}

// Files a tick apart (100 ns) where FILETIME's low half wraps into its high
// half, and where the low half's top bit turns: the later one is the newest.
TEST_F(NewestMatchTest, TimesATickApartAcrossEitherHalf) {
    const uint64_t WRAP = uint64_t{0x01D70000} << 32;  // early in 2021, a low half of 0
    const struct {
        uint64_t a, b;
        const char* chosen;
    } cases[] = {
        {WRAP - 1, WRAP, "b.exe by *.exe"},
        {WRAP + 1, WRAP, "a.exe by *.exe"},
        {WRAP + 0x7FFFFFFF, WRAP + 0x80000000u, "b.exe by *.exe"},
    };
    touch("a.exe", 0);
    touch("b.exe", 0);
    for (const auto& c : cases) {
        ASSERT_TRUE(set_write_time(path("a.exe"), c.a) && set_write_time(path("b.exe"), c.b));
        EXPECT_EQ(newest({"*.exe"}), c.chosen) << std::hex << c.a << " against " << c.b;
    }
}

TEST_F(NewestMatchTest, DirectoriesMatchLikeFiles) {
    // A directory's time is that of its making: Windows lets no one set it
    // through std::filesystem.
    touch("x1.exe", -100);
    std::filesystem::create_directory(path("x2.exe"));
    EXPECT_EQ(newest({"x*.exe"}), "x2.exe by x*.exe");
}

// A symbolic link counts with the time of the file it opens; one whose
// target is gone, with its own. Windows searches give a link's own time.
TEST_F(NewestMatchTest, ALinkCountsWithItsTargetsTime) {
    if (PLATFORM.windows) GTEST_SKIP() << "POSIX searches only";
    touch("old", -200);
    touch("y2.exe", -100);
    std::filesystem::create_symlink(path("old"), path("y1.exe"));  // itself made just now
    EXPECT_EQ(newest({"y*.exe"}), "y2.exe by y*.exe");
    std::filesystem::create_symlink(path("gone"), path("y3.exe"));
    EXPECT_EQ(newest({"y*.exe"}), "y3.exe by y*.exe");
}

}  // namespace
