// The console side of the platform layer on a real console: the key wait,
// fed with the key events a keyboard makes, and the output code page.
// It must run on a console: the Windows tests start it on a terminal, which
// Wine turns into one.
#include <atomic>
#include <chrono>
#include <thread>
#include <tuple>
#include <vector>

#include "platform.h"
#include "support.h"

namespace {

// A key event as the console records a keyboard's: the virtual key, the
// scan code, the character and the state of the control keys.
INPUT_RECORD key_event(WORD key, WORD scan, bool down, char character = 0, DWORD state = 0) {
    INPUT_RECORD record = {};
    record.EventType = KEY_EVENT;
    record.Event.KeyEvent.bKeyDown = down ? TRUE : FALSE;
    record.Event.KeyEvent.wRepeatCount = 1;
    record.Event.KeyEvent.wVirtualKeyCode = key;
    record.Event.KeyEvent.wVirtualScanCode = scan;
    record.Event.KeyEvent.uChar.AsciiChar = character;
    record.Event.KeyEvent.dwControlKeyState = state;
    return record;
}

// A key pressed alone and let go.
std::vector<INPUT_RECORD> keystroke(WORD key, WORD scan, DWORD state) {
    return {key_event(key, scan, true, 0, state), key_event(key, scan, false, 0, state)};
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
        done_ = false;
        waiter_ = std::thread([this] {
            wait_for_key();
            done_ = true;
        });
        settle();
    }
    // Gives the waiting thread time to take what is in the console's queue.
    static void settle() { std::this_thread::sleep_for(std::chrono::milliseconds(300)); }
    bool ended_within_seconds(int seconds) {
        wait_until(std::chrono::seconds(seconds), [&] { return done_.load(); });
        if (done_) waiter_.join();
        return done_;
    }

    ScopedHandle<> console_;
    std::thread waiter_;
    std::atomic<bool> done_{false};
};

// What a keyboard sends for Shift, Ctrl, Alt, AltGr, a lock key or a Windows
// key pressed alone does not answer the prompt, nor does the release of a
// key or an event that is no key. A letter typed with Shift held does.
TEST_F(KeyWaitTest, ModifierKeysAloneDoNotEndIt) {
    const std::vector<INPUT_RECORD> alone[] = {
        // Shift, Ctrl, Alt and the Windows key, left and right; AltGr is the
        // left Ctrl and the right Alt at once.
        keystroke(VK_SHIFT, 0x2A, SHIFT_PRESSED), keystroke(VK_SHIFT, 0x36, SHIFT_PRESSED),
        keystroke(VK_CONTROL, 0x1D, LEFT_CTRL_PRESSED), keystroke(VK_CONTROL, 0x1D, RIGHT_CTRL_PRESSED | ENHANCED_KEY),
        keystroke(VK_MENU, 0x38, LEFT_ALT_PRESSED), keystroke(VK_MENU, 0x38, RIGHT_ALT_PRESSED | ENHANCED_KEY),
        keystroke(VK_LWIN, 0x5B, ENHANCED_KEY), keystroke(VK_RWIN, 0x5C, ENHANCED_KEY),
        {key_event(VK_CONTROL, 0x1D, true, 0, LEFT_CTRL_PRESSED),
         key_event(VK_MENU, 0x38, true, 0, LEFT_CTRL_PRESSED | RIGHT_ALT_PRESSED | ENHANCED_KEY)},
        keystroke(VK_CAPITAL, 0x3A, CAPSLOCK_ON), keystroke(VK_NUMLOCK, 0x45, NUMLOCK_ON | ENHANCED_KEY),
        keystroke(VK_SCROLL, 0x46, SCROLLLOCK_ON),
        {key_event('A', 0x1E, false, 'a'), focus_event()},
    };
    start_waiting();
    for (const auto& events : alone) inject(events);
    settle();
    EXPECT_FALSE(done_);
    inject({key_event(VK_SHIFT, 0x2A, true, 0, SHIFT_PRESSED), key_event('A', 0x1E, true, 'A', SHIFT_PRESSED)});
    EXPECT_TRUE(ended_within_seconds(5));
}

TEST_F(KeyWaitTest, KeysTypedBeforeTheWaitDoNotAnswerIt) {
    inject({key_event('Y', 0x15, true, 'y'), key_event('Y', 0x15, false, 'y')});
    start_waiting();
    EXPECT_FALSE(done_);
    inject({key_event(VK_RETURN, 0x1C, true, '\r')});
    EXPECT_TRUE(ended_within_seconds(5));
}

// F1, the menu key beside the Windows keys, an arrow: keys without a character.
TEST_F(KeyWaitTest, KeysWithoutACharacterEndIt) {
    for (auto [key, scan, state] : {std::tuple<WORD, WORD, DWORD>{VK_F1, 0x3B, 0}, {VK_APPS, 0x5D, ENHANCED_KEY},
                                    {VK_LEFT, 0x4B, ENHANCED_KEY}}) {
        start_waiting();
        inject({key_event(key, scan, true, 0, state)});
        ASSERT_TRUE(ended_within_seconds(5)) << key;  // a waiter still blocked cannot be replaced
    }
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
