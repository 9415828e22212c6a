#include "support.h"

#include "platform_expect.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <random>

namespace fs = std::filesystem;

ByteBuilder& ByteBuilder::u16(uint16_t v) {
    data_.push_back(static_cast<unsigned char>(v));
    data_.push_back(static_cast<unsigned char>(v >> 8));
    return *this;
}

ByteBuilder& ByteBuilder::u32(uint32_t v) {
    for (int i = 0; i < 4; ++i) data_.push_back(static_cast<unsigned char>(v >> (8 * i)));
    return *this;
}

ByteBuilder& ByteBuilder::text(const std::string& s) {
    data_.insert(data_.end(), s.begin(), s.end());
    return *this;
}

ByteBuilder& ByteBuilder::bytes(const Bytes& b) {
    data_.insert(data_.end(), b.begin(), b.end());
    return *this;
}

ByteBuilder& ByteBuilder::zeros(size_t n) {
    data_.insert(data_.end(), n, 0);
    return *this;
}

ByteBuilder& ByteBuilder::fill_to(size_t size) {
    if (data_.size() < size) data_.resize(size, 0);
    return *this;
}

ByteBuilder& ByteBuilder::put16(size_t at, uint16_t v) {
    fill_to(at + 2);
    data_[at] = static_cast<unsigned char>(v);
    data_[at + 1] = static_cast<unsigned char>(v >> 8);
    return *this;
}

ByteBuilder& ByteBuilder::put32(size_t at, uint32_t v) {
    fill_to(at + 4);
    for (int i = 0; i < 4; ++i) data_[at + i] = static_cast<unsigned char>(v >> (8 * i));
    return *this;
}

Bytes trailer(int32_t back_offset) {
    return ByteBuilder().text("PSER").u32(static_cast<uint32_t>(back_offset)).data();
}

Bytes make_pe(const PeShape& shape) {
    ByteBuilder b;
    b.text("MZ").put32(60, static_cast<uint32_t>(shape.lfanew));
    size_t nt = shape.lfanew < 0 ? 64 : static_cast<size_t>(shape.lfanew);
    uint16_t optional_size = shape.optional_size ? shape.optional_size : (shape.pe32plus ? 240 : 224);
    b.put32(nt, 0x00004550);
    b.put16(nt + 4, shape.pe32plus ? 0x8664 : 0x14C);
    b.put16(nt + 6, static_cast<uint16_t>(shape.sections.size()));
    b.put32(nt + 12, shape.symbol_table);
    b.put32(nt + 16, shape.symbol_count);
    b.put16(nt + 20, optional_size);
    size_t optional = nt + 24;
    b.put16(optional, shape.pe32plus ? 0x20B : 0x10B);
    size_t directories = optional + (shape.pe32plus ? 112 : 96);
    b.put32(directories - 4, shape.directories);
    b.put32(directories + 4 * 8, shape.certificate_start);
    b.put32(directories + 4 * 8 + 4, shape.certificate_size);
    size_t table = shape.pe32plus ? optional + optional_size : nt + 248;
    for (size_t i = 0; i < shape.sections.size(); ++i) {
        size_t header = table + 40 * i;
        b.put32(header, 0x7865742E);  // ".tex"
        b.put32(header + 16, shape.sections[i].size);
        b.put32(header + 20, shape.sections[i].pointer);
    }
    b.fill_to(shape.file_size);
    return b.data();
}

Bytes read_file(const fs::path& path) {
    Bytes data;
    std::FILE* f = std::fopen(path.string().c_str(), "rb");
    if (!f) return data;
    unsigned char buffer[65536];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) data.insert(data.end(), buffer, buffer + n);
    std::fclose(f);
    return data;
}

void write_file(const fs::path& path, const Bytes& data) {
    std::FILE* f = std::fopen(path.string().c_str(), "wb");
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

Bytes torrent_with_pieces(const Bytes& pieces) {
    return ByteBuilder().text("d4:infod6:pieces" + std::to_string(pieces.size()) + ":").bytes(pieces).text("ee").data();
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

fs::path fixture(const std::string& name) { return fs::path(DL2TORRENT_FIXTURES) / name; }

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

bool make_file_symlink(const fs::path& target, const fs::path& link) {
#ifdef _WIN32
    CreateSymbolicLinkA(link.string().c_str(), target.string().c_str(), SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE);
#else
    std::error_code ignored;
    fs::create_symlink(target, link, ignored);
#endif
    return fs::is_symlink(link);
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
