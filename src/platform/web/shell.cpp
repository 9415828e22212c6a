// Stands in for shell32's ShellExecuteExA and ole32's COM set-up in a page:
// the saved torrent is handed to the page, which offers it as a download,
// as the desktop opens it on a computer (launch.js).
#include <emscripten.h>

#include "platform.h"

// The page's handOff(path), when it has one; its answer, or false.
EM_JS(bool, hand_to_page, (const char* path), {
    return typeof Module["handOff"] == "function" && !!Module["handOff"](UTF8ToString(path));
});

BOOL ShellExecuteExA(SHELLEXECUTEINFOA* info) { return hand_to_page(info->lpFile) ? TRUE : FALSE; }

// No COM here: nothing to set up or to tear down.
HRESULT CoInitializeEx(void*, DWORD) { return S_OK; }

void CoUninitialize() {}
