#include "support.h"

#include "platform_expect.h"

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#endif

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <thread>

namespace fs = std::filesystem;

namespace {

// Opens `path` with fopen's `mode`; on Windows by its UTF-16 name, so that
// any name works whatever the ANSI code page.
std::FILE* open_file(const fs::path& path, const char* mode) {
#ifdef _WIN32
    return _wfopen(path.c_str(), mode[0] == 'r' ? L"rb" : L"wb");
#else
    return std::fopen(path.c_str(), mode);
#endif
}

}  // namespace

Bytes read_file(const fs::path& path) {
    Bytes data;
    std::FILE* f = open_file(path, "rb");
    if (!f) return data;
    unsigned char buffer[65536];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) data.insert(data.end(), buffer, buffer + n);
    std::fclose(f);
    return data;
}

void write_file(const fs::path& path, const Bytes& data) {
    std::FILE* f = open_file(path, "wb");
    ASSERT_NE(f, nullptr) << path;
    // fwrite must not be given the null pointer of an empty vector.
    if (!data.empty()) {
        ASSERT_EQ(std::fwrite(data.data(), 1, data.size(), f), data.size());
    }
    ASSERT_EQ(std::fclose(f), 0);
}

void write_file(const fs::path& path, const std::string& text) { write_file(path, Bytes(text.begin(), text.end())); }

Bytes concat(const Bytes& a, const Bytes& b) {
    Bytes out = a;
    out.insert(out.end(), b.begin(), b.end());
    return out;
}

// Repeatable filler that holds many 'P' bytes but never the trailer magic.
Bytes pattern_bytes(size_t n, unsigned seed) {
    std::mt19937 random(seed);
    Bytes out(n);
    for (auto& byte : out) byte = random() % 4 == 0 ? 'P' : static_cast<unsigned char>(random() % 256);
    for (size_t i = 0; i + 4 <= n; ++i)
        if (out[i] == 'P' && out[i + 1] == 'S' && out[i + 2] == 'E' && out[i + 3] == 'R') out[i + 3] = 'X';
    return out;
}

Bytes make_torrent(size_t size, unsigned seed) {
    const size_t framing = std::strlen("d4:infod6:pieces:ee");
    for (size_t digits = 1; digits <= 10; ++digits) {
        size_t length = size - framing - digits;
        if (std::to_string(length).size() == digits) return torrent_with_pieces(pattern_bytes(length, seed));
    }
    ADD_FAILURE() << "no torrent is " << size << " bytes long";
    return {};
}

fs::path given_path(const char* variable, [[maybe_unused]] const char* in_tests) {
    if (const char* value = std::getenv(variable)) return value;
#ifdef DL2TORRENT_TESTS_DIR
    if (in_tests) return fs::path(DL2TORRENT_TESTS_DIR) / in_tests;
#endif
    ADD_FAILURE() << "set " << variable << " to its path";
    return {};
}

fs::path fixture(const std::string& name) {
    static const fs::path fixtures = given_path("DL2TORRENT_FIXTURES", "fixtures");
    return fixtures / name;
}

std::vector<std::string> temporaries_beside(const fs::path& output) {
    // NAME~XXX.tmp is exactly as long as NAME.torrent; XXX as %03x writes it.
    const std::string name = output.filename().string();
    const std::string stem = name.substr(0, name.size() - std::min<size_t>(name.size(), 8));
    auto hex = [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); };
    std::vector<std::string> found;
    for (const auto& entry : fs::directory_iterator(output.parent_path())) {
        std::string n = entry.path().filename().string();
        if (n.size() == stem.size() + 8 && n.compare(0, stem.size() + 1, stem + "~") == 0 &&
            std::all_of(n.end() - 7, n.end() - 4, hex) && n.compare(n.size() - 4, 4, ".tmp") == 0)
            found.push_back(n);
    }
    std::sort(found.begin(), found.end());
    return found;
}

#ifndef _WIN32
std::string command_output(const std::string& command) {
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return "popen failed";
    char buffer[256];
    while (std::fgets(buffer, sizeof buffer, pipe)) out += buffer;
    pclose(pipe);
    return out;
}
#endif

bool wait_until(std::chrono::milliseconds limit, const std::function<bool()>& done) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

void ScratchDirTest::SetUp() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string(info->test_suite_name()) + "." + info->name();
    std::replace_if(name.begin(), name.end(), [](char c) { return !std::isalnum(static_cast<unsigned char>(c)) && c != '.'; }, '_');
    std::random_device seed;
    dir_ = fs::temp_directory_path() / ("dl2torrent-" + name + "-" + std::to_string(seed()));
    fs::create_directories(dir_);
}

void ScratchDirTest::TearDown() {
    std::error_code ignored;
    fs::permissions(dir_, fs::perms::owner_all, fs::perm_options::add, ignored);
    fs::remove_all(dir_, ignored);
}

std::vector<std::string> ScratchDirTest::listing(const fs::path& sub) const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir_ / sub)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

bool set_write_time(const fs::path& path, uint64_t ticks) {
#ifdef _WIN32
    ScopedHandle file(CreateFileA(path.string().c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, OPEN_EXISTING, 0, nullptr));
    FILETIME time = {static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
    return file.valid() && SetFileTime(file.get(), nullptr, nullptr, &time);
#else
    const uint64_t SECONDS_1601_TO_1970 = 11644473600;
    struct timespec times[2] = {{0, UTIME_OMIT},
                                {static_cast<time_t>(ticks / 10000000 - SECONDS_1601_TO_1970),
                                 static_cast<long>(ticks % 10000000 * 100)}};
    return utimensat(AT_FDCWD, path.c_str(), times, 0) == 0;
#endif
}

unsigned ansi_code_page() {
#ifdef _WIN32
    return GetACP();
#else
    return 0;
#endif
}

::testing::internal::ParamGenerator<const TrailerFilters*> every_filter_set() {
    std::span<const TrailerFilters* const> sets = runnable_trailer_filters();
    return ::testing::ValuesIn(sets.begin(), sets.end());
}

std::string filter_set_name(const ::testing::TestParamInfo<const TrailerFilters*>& info) { return info.param->name; }

void PrintTo(const TrailerFilters* filters, std::ostream* os) { *os << filters->name; }
