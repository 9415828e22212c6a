// The POSIX stand-in's own rules: the file search's wildcards (only `*` and
// `?` are special, as in the Windows search, and `?` is one UTF-8
// character), its reads, and what its opener reports.
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
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
        // The lead bytes at both ends of each length's range, and just outside.
        {"?", "\xC2\xA0", true},
        {"?", "\xDF\xBF", true},
        {"?", "\xE0\xA0\x80", true},
        {"?", "\xEF\xBF\xBD", true},
        {"?", "\xF4\x8F\xBF\xBF", true},
        {"??", "\xC1\xBF", true},
        {"????", "\xF5\x80\x80\x80", true},
        {"??", "\xC3\x41", true},   // a lead byte without its continuation
        {"?", "\xC3\x41", false},
        {"*?", "\xC3\xA9", true},
        {"*??", "\xC3\xA9", false},
        {"*\xA9", "\xC3\xA9", false},  // nor does a `*` end inside one
    };
    for (const auto& c : cases)
        EXPECT_EQ(wildcard_match(c.pattern, c.name), c.match) << "'" << c.pattern << "' against '" << c.name << "'";
}

// A read may deliver less than asked and still not be at the end, as some
// file systems' reads do: ReadFile reads on, into the rest of the buffer.
// Each read of a datagram socket delivers one datagram.
TEST(PosixReadFile, GoesOnAfterAShortRead) {
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM, 0, fds), 0);
    for (const std::string datagram : {"abc", "defg"})
        ASSERT_EQ(write(fds[1], datagram.data(), datagram.size()), static_cast<ssize_t>(datagram.size()));
    char buffer[12] = "...........";
    DWORD got = 0;
    // Handles of the stand-in are its descriptors.
    EXPECT_TRUE(ReadFile(reinterpret_cast<HANDLE>(static_cast<intptr_t>(fds[0])), buffer + 2, 7, &got, nullptr));
    EXPECT_EQ(got, 7u);
    EXPECT_STREQ(buffer, "..abcdefg..");
    close(fds[0]);
    close(fds[1]);
}

class OpenerTest : public ScratchDirTest {};

// The desktop's opener is started, not waited for: FALSE with the reason
// when it cannot be started, TRUE once it runs. It has no terminal: /dev/null
// for reading and for writing as its standard streams, a process group of
// its own, and SIGPIPE's and SIGXFSZ's default actions although this
// program ignores them.
TEST_F(OpenerTest, StartsWithNoTerminal) {
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
    const std::string report = path("report").string();
    for (const char* opener : {"xdg-open", "open"}) {
        write_file(path(opener), "#!/bin/sh\n"
                                 "for fd in 0 1 2; do\n"
                                 "  flags=$(sed -n 's/^flags:[[:space:]]*//p' /proc/$$/fdinfo/$fd)\n"
                                 "  echo \"$fd $(readlink /proc/$$/fd/$fd) $((flags & 3))\" >> '" + report + ".part'\n"
                                 "done\n"
                                 "set -- $(cat /proc/$$/stat)\n"
                                 "ignored=$(sed -n 's/^SigIgn:[[:space:]]*//p' /proc/$$/status)\n"
                                 "echo \"own group $([ \"$5\" = $$ ] && echo yes)\" >> '" + report + ".part'\n"
                                 "echo \"SIGPIPE ignored $((0x$ignored >> " + std::to_string(SIGPIPE - 1) +
                                 " & 1))\" >> '" + report + ".part'\n"
                                 "echo \"SIGXFSZ ignored $((0x$ignored >> " + std::to_string(SIGXFSZ - 1) +
                                 " & 1))\" >> '" + report + ".part'\n"
                                 "mv '" + report + ".part' '" + report + "'\n");
        std::filesystem::permissions(path(opener), std::filesystem::perms::owner_all);
    }
    setenv("PATH", (dir().string() + ":" + path_before).c_str(), 1);
    signal(SIGPIPE, SIG_IGN);
    signal(SIGXFSZ, SIG_IGN);
    EXPECT_TRUE(ShellExecuteExA(&request));
    signal(SIGPIPE, SIG_DFL);
    signal(SIGXFSZ, SIG_DFL);
    setenv("PATH", path_before.c_str(), 1);
    if (!std::filesystem::exists("/proc/self/fdinfo")) GTEST_SKIP() << "the opener's report is read from /proc";
    for (int waited = 0; waited < 1000 && !std::filesystem::exists(report); ++waited) Sleep(10);
    Bytes seen = read_file(report);
    EXPECT_EQ(std::string(seen.begin(), seen.end()),
              "0 /dev/null 0\n1 /dev/null 1\n2 /dev/null 1\nown group yes\nSIGPIPE ignored 0\nSIGXFSZ ignored 0\n");
}

}  // namespace
