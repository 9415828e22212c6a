#include <filesystem>

#include "export.h"
#include "run.h"
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
    const struct {
        const char* pattern;
        const char* name;
        const char* path;
    } cases[] = {
        {"Quv-*-downloader.exe", "Quv-1-downloader.exe", "Quv-1-downloader.exe"},
        {"dl/old/x*.exe", "x1.exe", "dl/old/x1.exe"},
        {"/abs/*.exe", "a.exe", "/abs/a.exe"},
        {"dl\\old\\x*.exe", "x1.exe", "x1.exe"},  // a backslash is part of a POSIX name
        {"../*", "b", "../b"},
    };
    for (const auto& c : cases) {
        char path[MAX_PATH];
        ASSERT_TRUE(compose_input_path(c.pattern, c.name, path, sizeof path)) << c.pattern;
        EXPECT_STREQ(path, c.path) << c.pattern;
    }
    char small[8];
    EXPECT_TRUE(compose_input_path("d/*", "abcde", small, sizeof small));
    EXPECT_FALSE(compose_input_path("d/*", "abcdef", small, sizeof small));
}

TEST(NewestMatch, ComparesBothHalvesUnsigned) {
    const struct {
        FILETIME candidate, chosen;
        bool newer;
    } cases[] = {
        {{5, 1}, {4, 1}, true},
        {{4, 1}, {4, 1}, false},
        {{0xFFFFFFFF, 0}, {0, 1}, false},  // smaller high half, greater low half
        {{0, 0x80000000}, {0xFFFFFFFF, 0x7FFFFFFF}, true},
        {{0x80000000, 7}, {0x7FFFFFFF, 7}, true},
    };
    for (const auto& c : cases) EXPECT_EQ(is_newer(c.candidate, c.chosen), c.newer);
}

class NewestMatchTest : public ScratchDirTest {
protected:
    void touch(const std::string& name, int seconds) {
        write_file(path(name), std::string("x"));
        std::filesystem::last_write_time(path(name), base_ + std::chrono::seconds(seconds));
    }
    std::string newest(const std::string& pattern) {
        char name[MAX_PATH];
        std::string full = (dir() / pattern).string();
        if (!find_newest_match(full.c_str(), name, sizeof name)) return "<none>";
        return name;
    }
    std::filesystem::file_time_type base_ = std::filesystem::file_time_type::clock::now();
};

TEST_F(NewestMatchTest, PicksTheLatestAndTheFirstOfEqualTimes) {
    touch("a.exe", 10);
    touch("b.exe", 11);
    touch("c.exe", 11);  // as new as b, but delivered after it
    touch("d.txt", 99);
    EXPECT_EQ(newest("*.exe"), "b.exe");
    EXPECT_EQ(newest("?.txt"), "d.txt");
    EXPECT_EQ(newest("*.zip"), "<none>");
    EXPECT_EQ(newest("missing/*.exe"), "<none>");
}

TEST_F(NewestMatchTest, DirectoriesMatchLikeFiles) {
    touch("x1.exe", 10);
    std::filesystem::create_directory(path("x2.exe"));
    std::filesystem::last_write_time(path("x2.exe"), base_ + std::chrono::seconds(20));
    EXPECT_EQ(newest("x*.exe"), "x2.exe");
}

}  // namespace
