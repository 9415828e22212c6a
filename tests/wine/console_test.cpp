// The console side of the platform layer on a real console: the key wait,
// fed with the key events a keyboard makes, and the output code page.
// It must run on a console: the Windows tests start it on a terminal, which
// Wine turns into one.
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "platform.h"
#include "support.h"

namespace {

INPUT_RECORD key_event(WORD key, bool down, char character = 0) {
    INPUT_RECORD record = {};
    record.EventType = KEY_EVENT;
    record.Event.KeyEvent.bKeyDown = down ? TRUE : FALSE;
    record.Event.KeyEvent.wRepeatCount = 1;
    record.Event.KeyEvent.wVirtualKeyCode = key;
    record.Event.KeyEvent.uChar.AsciiChar = character;
    return record;
}

INPUT_RECORD focus_event() {
    INPUT_RECORD record = {};
    record.EventType = FOCUS_EVENT;
    record.Event.FocusEvent.bSetFocus = TRUE;
    return record;
}

class KeyWaitTest : public ::testing::Test {
protected:
    void SetUp() override {
        console_.reset(CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                   OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(console_.valid()) << "these tests need a console";
    }
    void TearDown() override {
        if (waiter_.joinable()) waiter_.detach();  // still blocked: the test has failed
    }
    void inject(const std::vector<INPUT_RECORD>& events) {
        DWORD written = 0;
        ASSERT_TRUE(WriteConsoleInputA(console_.get(), events.data(), static_cast<DWORD>(events.size()), &written));
        ASSERT_EQ(written, events.size());
    }
    void start_waiting() {
        waiter_ = std::thread([this] {
            wait_for_key();
            done_ = true;
        });
        settle();
    }
    // Gives the waiting thread time to take what is in the console's queue.
    static void settle() { std::this_thread::sleep_for(std::chrono::milliseconds(300)); }
    bool ended_within_seconds(int seconds) {
        for (int i = 0; i < seconds * 50 && !done_; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));
        if (done_) waiter_.join();
        return done_;
    }

    ScopedHandle<> console_;
    std::thread waiter_;
    std::atomic<bool> done_{false};
};

TEST_F(KeyWaitTest, ModifierKeysAloneDoNotEndIt) {
    start_waiting();
    const WORD modifiers[] = {VK_SHIFT, VK_LSHIFT, VK_RSHIFT, VK_CONTROL, VK_LCONTROL, VK_RCONTROL, VK_MENU,
                              VK_LMENU, VK_RMENU, VK_CAPITAL, VK_NUMLOCK, VK_SCROLL, VK_LWIN, VK_RWIN};
    for (WORD key : modifiers) inject({key_event(key, true), key_event(key, false)});
    // Neither does the release of a key, nor an event that is no key.
    inject({key_event('A', false, 'a'), focus_event()});
    settle();
    EXPECT_FALSE(done_);
    inject({key_event(VK_SHIFT, true), key_event('A', true, 'A')});
    EXPECT_TRUE(ended_within_seconds(5));
}

TEST_F(KeyWaitTest, KeysTypedBeforeTheWaitDoNotAnswerIt) {
    inject({key_event('Y', true, 'y'), key_event('Y', false, 'y')});
    start_waiting();
    EXPECT_FALSE(done_);
    inject({key_event(VK_RETURN, true, '\r')});
    EXPECT_TRUE(ended_within_seconds(5));
}

TEST_F(KeyWaitTest, KeysWithoutACharacterEndIt) {
    start_waiting();
    inject({key_event(VK_F1, true)});
    EXPECT_TRUE(ended_within_seconds(5));
}

// Paths are in the ANSI code page, so the console prints in that one while
// the program runs, and gets its own back afterwards.
TEST(ProcessSetupTest, PrintsInTheAnsiCodePageAndRestoresTheOldOne) {
    const UINT before = GetConsoleOutputCP();
    ASSERT_NE(before, 0u) << "this test needs a console";
    const UINT other = GetACP() == 850 ? 437 : 850;
    ASSERT_TRUE(SetConsoleOutputCP(other));
    {
        ProcessSetup setup;
        EXPECT_EQ(GetConsoleOutputCP(), GetACP());
    }
    EXPECT_EQ(GetConsoleOutputCP(), other);
    SetConsoleOutputCP(before);
}

}  // namespace
