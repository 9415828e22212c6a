// The POSIX stand-in's own rules: the file search's wildcards (only `*` and
// `?` are special, as in the Windows search, and `?` is one UTF-8
// character), and what its opener reports.
#include <cerrno>
#include <cstdlib>
#include <string>

#include "platform.h"
#include "support.h"
#include "wildcard.h"

namespace {

TEST(Wildcard, OnlyStarAndQuestionMarkAreSpecial) {
    const struct {
        const char* pattern;
        const char* name;
        bool match;
    } cases[] = {
        {"Quv-*-downloader.exe", "Quv-1-downloader.exe", true},
        {"Quv-*-downloader.exe", "Quv--downloader.exe", true},
        {"Quv-*-downloader.exe", "Quv-1-downloader.exe.part", false},
        {"Quv-*-downloader.exe", "quv-1-downloader.exe", false},  // letter case counts
        {"*", ".", true},
        {"*", "..", true},
        {"*.exe", ".hidden.exe", true},
        {"", "", true},
        {"", "a", false},
        {"a", "", false},
        {"***", "abc", true},
        {"a*b*c", "aXbYbZc", true},
        {"a*b*c", "aXbYbZ", false},
        {"*aab", "aaaab", true},
        // Brackets and backslashes are bytes of the name, not a class or an escape.
        {"Quv-x-downloader [1].exe", "Quv-x-downloader [1].exe", true},
        {"Quv-x-downloader [1].exe", "Quv-x-downloader 1.exe", false},
        {"[ab].exe", "a.exe", false},
        {"back\\slash.exe", "back\\slash.exe", true},
        {"back\\slash.exe", "backslash.exe", false},
        {"\\*", "\\x", true},
        // `?` takes one character: a whole UTF-8 sequence, or a stray byte alone.
        {"?", "a", true},
        {"?", "", false},
        {"?", "ab", false},
        {"caf?.exe", "caf\xC3\xA9.exe", true},
        {"caf??.exe", "caf\xC3\xA9.exe", false},
        {"?", "\xE6\x97\xA5", true},
        {"?", "\xF0\x9F\x98\x80", true},
        {"??", "\xF0\x9F\x98\x80", false},
        {"?", "\xFF", true},
        {"??", "\xC3\x41", true},   // a lead byte without its continuation
        {"?", "\xC3\x41", false},
        {"*?", "\xC3\xA9", true},
        {"*??", "\xC3\xA9", false},
        {"*\xA9", "\xC3\xA9", false},  // nor does a `*` end inside one
    };
    for (const auto& c : cases)
        EXPECT_EQ(wildcard_match(c.pattern, c.name), c.match) << "'" << c.pattern << "' against '" << c.name << "'";
}

// The desktop's opener is started, not waited for: TRUE once it runs, and
// FALSE with the reason when it cannot be started.
class OpenerTest : public ScratchDirTest {};

TEST_F(OpenerTest, SaysWhetherTheOpenerStarted) {
    const char* saved = std::getenv("PATH");
    const std::string path_before = saved ? saved : "";
    SHELLEXECUTEINFOA request = {};
    request.cbSize = sizeof request;
    request.lpFile = "x.torrent";
    setenv("PATH", dir().string().c_str(), 1);
    errno = 0;
    // Under an emulator that runs the child as a fork, the failed start
    // looks like a start.
    if (!std::getenv("DL2TORRENT_EMULATOR")) {
        EXPECT_FALSE(ShellExecuteExA(&request));
        EXPECT_EQ(errno, ENOENT);
    }
    for (const char* opener : {"xdg-open", "open"}) {
        write_file(path(opener), std::string("#!/bin/sh\nexit 0\n"));
        std::filesystem::permissions(path(opener), std::filesystem::perms::owner_all);
    }
    EXPECT_TRUE(ShellExecuteExA(&request));
    setenv("PATH", path_before.c_str(), 1);
}

}  // namespace
