// Stands in for the application registered for .torrent files in the Wine
// prefix of the end-to-end suite: appends the path it was asked to open to
// the log named by DL2TORRENT_OPENED_LOG, one per line, in UTF-8. It reads
// its command line as UTF-16, so it records any name whatever the code page.
#include <windows.h>

#include <shellapi.h>

#include <cstdio>
#include <string>

namespace {

std::string utf8_of(const wchar_t* text) {
    int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 0) return {};
    std::string out(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), size, nullptr, nullptr);
    out.pop_back();  // the terminating zero
    return out;
}

}  // namespace

int main() {
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    const wchar_t* log = _wgetenv(L"DL2TORRENT_OPENED_LOG");
    if (!argv || !log || argc < 2) return 2;
    std::FILE* f = _wfopen(log, L"ab");
    if (!f) return 3;
    std::string line = utf8_of(argv[1]) + "\n";
    bool written = std::fwrite(line.data(), 1, line.size(), f) == line.size();
    LocalFree(argv);
    return std::fclose(f) == 0 && written ? 0 : 4;
}
