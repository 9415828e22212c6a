// A console control handler for Ctrl+C, Ctrl+Break, a closed console
// window, a log-off and a shutdown. Windows runs it on a thread of its own
// while the program goes on, and ends the process when it returns FALSE,
// without running destructors: so the handler puts the console's code page
// back and removes an unfinished temporary file (created shared for
// deleting, so the name goes although the save still holds it open), then
// lets the default handling end the process.
#include "interrupt.h"

#include <atomic>
#include <cstring>

namespace {

std::atomic<UINT> g_code_page{0};
std::atomic<bool> g_remove_armed{false};
char g_remove_path[MAX_PATH];
// Held by the outermost InterruptionsHeld and by the handler. A slim lock
// cannot be taken twice by one thread, so a hold within another on the
// same thread leaves it to the outer one.
SRWLOCK g_lock = SRWLOCK_INIT;
std::atomic<DWORD> g_holder{0};  // the thread that holds g_lock for a hold; 0: none

BOOL WINAPI on_console_event(DWORD) {
    AcquireSRWLockExclusive(&g_lock);
    UINT code_page = g_code_page.load();
    if (code_page != 0) SetConsoleOutputCP(code_page);
    if (g_remove_armed.load()) DeleteFileA(g_remove_path);
    ReleaseSRWLockExclusive(&g_lock);
    return FALSE;
}

// Installs the handler once.
void catch_console_events() {
    static std::atomic<bool> installed{false};
    if (!installed.exchange(true)) SetConsoleCtrlHandler(on_console_event, TRUE);
}

}  // namespace

InterruptionsHeld::InterruptionsHeld() : saved_(g_holder.load() == GetCurrentThreadId()) {
    if (saved_) return;
    AcquireSRWLockExclusive(&g_lock);
    g_holder = GetCurrentThreadId();
}

InterruptionsHeld::~InterruptionsHeld() {
    if (saved_) return;
    DWORD err = GetLastError();
    g_holder = 0;
    ReleaseSRWLockExclusive(&g_lock);
    SetLastError(err);
}

void restore_code_page_if_interrupted(UINT code_page) {
    g_code_page = code_page;
    catch_console_events();
}

void remove_if_interrupted(const char* path) {
    g_remove_armed = false;
    size_t size = path ? std::strlen(path) + 1 : 0;
    if (size == 0 || size > sizeof g_remove_path) return;
    catch_console_events();
    std::memcpy(g_remove_path, path, size);
    g_remove_armed = true;
}
