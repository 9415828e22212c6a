// The platform layer's own contracts, checked alike on each system: full
// paths, holds on interruptions, and retries of a file held for a moment.
#include <chrono>
#include <filesystem>
#include <future>
#include <optional>

#include "platform_expect.h"
#include "support.h"

namespace {

// A relative name goes after the current directory, with one separator
// even at the root; a buffer too small gets the size needed, its zero
// included. Under Wine, kernel32's own answers are the oracle.
TEST(FullPath, PutsARelativeNameAfterTheCurrentDirectory) {
    const char separator = PLATFORM.windows ? '\\' : '/';
    std::filesystem::path here = std::filesystem::current_path();
    for (const std::filesystem::path& directory : {here, here.root_path()}) {
        std::filesystem::current_path(directory);
        char cwd[MAX_PATH], tiny[1];
        DWORD length = GetCurrentDirectoryA(sizeof cwd, cwd);
        ASSERT_TRUE(length > 0 && length < sizeof cwd);
        EXPECT_EQ(GetCurrentDirectoryA(sizeof tiny, tiny), length + 1);
        std::string expected = cwd[length - 1] == separator ? std::string(cwd) + "x.t" : cwd + std::string(1, separator) + "x.t";
        auto size = static_cast<DWORD>(expected.size());
        char full[MAX_PATH];
        char* file_part = nullptr;
        for (const char* name : {"x.t", expected.c_str()}) {
            EXPECT_EQ(GetFullPathNameA(name, size, full, nullptr), size + 1) << name;
            ASSERT_EQ(GetFullPathNameA(name, size + 1, full, &file_part), size) << name;
            EXPECT_STREQ(full, expected.c_str());
            EXPECT_STREQ(file_part, "x.t");
        }
    }
    // A deleted working directory (Windows and emscripten cannot delete one
    // in use) has no name to put a relative name after; an absolute name
    // needs none.
    if (PLATFORM.working_directory_goes) {
        const std::filesystem::path gone = std::filesystem::temp_directory_path() /
                                           ("dl2torrent-gone-" + std::to_string(GetCurrentProcessId()));
        std::filesystem::create_directory(gone);
        std::filesystem::current_path(gone);
        std::filesystem::remove(gone);
        char full[MAX_PATH];
        EXPECT_EQ(GetFullPathNameA("x.t", sizeof full, full, nullptr), 0u);
        EXPECT_EQ(GetFullPathNameA("/x.t", sizeof full, full, nullptr), 4u);
        EXPECT_STREQ(full, "/x.t");
    }
    std::filesystem::current_path(here);
}

// A hold within another, as a save inside a larger step would take one,
// must not let interruptions through when it ends, nor keep them out when
// the outer one ends.
TEST(InterruptionsHeld, OnlyTheOutermostEndLetsThemThrough) {
    std::optional<InterruptionsHeld> outer(std::in_place);
    { InterruptionsHeld inner; }
#ifdef _WIN32
    // The console handler's thread waits for the hold, as any other does.
    auto other = std::async(std::launch::async, [] { InterruptionsHeld held; });
    EXPECT_EQ(other.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout);
    outer.reset();
    EXPECT_EQ(other.wait_for(std::chrono::seconds(60)), std::future_status::ready);
#else
    if (!PLATFORM.signals) GTEST_SKIP() << "no signals to hold back";
    auto blocked = [] {
        sigset_t mask;
        sigprocmask(SIG_BLOCK, nullptr, &mask);
        return sigismember(&mask, SIGINT) == 1 && sigismember(&mask, SIGTERM) == 1;
    };
    EXPECT_TRUE(blocked());
    outer.reset();
    EXPECT_FALSE(blocked());
#endif
}

// A file held for a moment is tried again in pauses that double from the
// first up to the longest and add up to the budget; another failure ends it
// at once. Either way the caller sees the last failure's code.
TEST(RetryWhileHeld, GrowingPausesWithinTheBudget) {
    static std::vector<DWORD> pauses;
    const PlatformCalls real = sys;
    sys.Sleep = [](DWORD ms) { pauses.push_back(ms); };
    constexpr DWORD HELD = 0x2000D17E, OTHER = HELD + 1;
    const std::vector<DWORD> whole_budget = {10, 20, 40, 80, 160, 250, 250, 250, 250, 250, 250, 190};
    const struct {
        int held_failures;  // before the attempt that ends it
        bool then_succeeds;
        std::vector<DWORD> pauses;
    } cases[] = {{0, true, {}}, {2, true, {10, 20}}, {0, false, {}}, {1, false, {10}}, {1000, false, whole_budget}};
    for (const auto& c : cases) {
        pauses.clear();
        int attempts = 0;
        bool ok = retry_while([](DWORD err) { return err == HELD; }, [&] {
            SetLastError(++attempts <= c.held_failures ? HELD : OTHER);
            return attempts > c.held_failures && c.then_succeeds;
        });
        EXPECT_EQ(ok, c.then_succeeds);
        if (!ok) {
            EXPECT_EQ(GetLastError(), attempts > c.held_failures ? OTHER : HELD);
        }
        EXPECT_EQ(static_cast<size_t>(attempts), pauses.size() + 1);
        EXPECT_EQ(pauses, c.pauses) << c.held_failures;
    }
    sys = real;
}

}  // namespace
