// The console side of the platform layer that Windows does not offer under
// one name: printing the messages as they are, the output code page while
// the program runs, and the key wait after a failure.
#include <cstdarg>
#include <cstdio>

#include "interrupt.h"
#include "platform.h"

// Formats into a buffer and writes it with WriteFile, as it is: the C
// runtime's text mode would add "\r" to each line, and some runtimes turn
// the bytes into UTF-16 for a console by a code page of their own. The
// messages are far shorter than the buffer.
void console_print(const char* format, ...) {
    char text[4096];
    va_list args;
    va_start(args, format);
    int length = std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (length < 0) return;
    size_t size = static_cast<size_t>(length) < sizeof text ? static_cast<size_t>(length) : sizeof text - 1;
    DWORD left = static_cast<DWORD>(size);
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    for (const char* p = text; left > 0;) {
        DWORD written = 0;
        if (!WriteFile(out, p, left, &written, nullptr) || written == 0) return;
        p += written;
        left -= written;
    }
}

namespace {

UINT g_saved_code_page = 0;  // the console's own output code page; 0: no console

}  // namespace

ProcessSetup::ProcessSetup() {
    // Paths are in the ANSI code page (UTF-8 under the manifest); the console
    // then shows them as they are.
    g_saved_code_page = GetConsoleOutputCP();
    if (g_saved_code_page != 0) SetConsoleOutputCP(GetACP());
    // Ctrl+C or a closed window ends the process without this destructor.
    restore_code_page_if_interrupted(g_saved_code_page);
}

ProcessSetup::~ProcessSetup() {
    if (g_saved_code_page != 0) SetConsoleOutputCP(g_saved_code_page);
}

namespace {

// Keys that only change what another key means; pressed alone they do not end the wait.
bool is_modifier(WORD key) {
    switch (key) {
    case VK_SHIFT: case VK_LSHIFT: case VK_RSHIFT:
    case VK_CONTROL: case VK_LCONTROL: case VK_RCONTROL:
    case VK_MENU: case VK_LMENU: case VK_RMENU:
    case VK_CAPITAL: case VK_NUMLOCK: case VK_SCROLL:
    case VK_LWIN: case VK_RWIN:
        return true;
    default:
        return false;
    }
}

}  // namespace

void wait_for_key() {
    // Only where someone sees the prompt and can answer it: a console with a
    // window (a pseudo-console's too), which standard output writes to. A
    // console made with CREATE_NO_WINDOW (CI runners, scheduled tasks,
    // programs that start this one hidden) has none, and output sent to a
    // file or a pipe was never shown.
    DWORD output_mode = 0;
    if (!GetConsoleWindow() || !GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &output_mode)) return;
    // The console itself, not standard input: a redirected stdin must neither
    // feed the wait nor lose its data to it. Key events carry no echo.
    ScopedHandle console(CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                     nullptr, OPEN_EXISTING, 0, nullptr));
    if (!console.valid()) return;
    DWORD mode = 0;
    if (!GetConsoleMode(console.get(), &mode)) return;
    // Keys typed before the prompt was shown do not answer it.
    FlushConsoleInputBuffer(console.get());
    for (;;) {
        INPUT_RECORD record;
        DWORD count = 0;
        if (!ReadConsoleInputA(console.get(), &record, 1, &count) || count == 0) return;
        if (record.EventType != KEY_EVENT) continue;
        const KEY_EVENT_RECORD& key = record.Event.KeyEvent;
        if (key.bKeyDown && !is_modifier(key.wVirtualKeyCode)) return;
    }
}
