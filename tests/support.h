// Shared test helpers: a scratch folder per test, a little-endian byte
// builder, and file helpers for the committed fixtures.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "trailer_filters.h"

using Bytes = std::vector<unsigned char>;

// Appends little-endian fields and raw bytes; `put*` overwrite in place.
class ByteBuilder {
public:
    ByteBuilder& u16(uint16_t v);
    ByteBuilder& u32(uint32_t v);
    ByteBuilder& text(const std::string& s);
    ByteBuilder& bytes(const Bytes& b);
    ByteBuilder& zeros(size_t n);
    ByteBuilder& fill_to(size_t size);
    ByteBuilder& put16(size_t at, uint16_t v);
    ByteBuilder& put32(size_t at, uint32_t v);
    size_t size() const { return data_.size(); }
    const Bytes& data() const { return data_; }

private:
    Bytes data_;
};

// The 8-byte trailer: "PSER" and a signed back offset.
Bytes trailer(int32_t back_offset);

// A section's place in the file, as its header gives it.
struct RawSection {
    uint32_t pointer;
    uint32_t size;
};

// A minimal PE image: DOS header, NT headers and section table only.
struct PeShape {
    bool pe32plus = false;
    int32_t lfanew = 0x80;
    uint16_t optional_size = 0;  // 0: the usual size for the kind of image
    std::vector<RawSection> sections;
    uint32_t directories = 16;       // NumberOfRvaAndSizes
    uint32_t certificate_start = 0;  // the security directory entry
    uint32_t certificate_size = 0;
    uint32_t symbol_table = 0;       // PointerToSymbolTable
    uint32_t symbol_count = 0;       // NumberOfSymbols
    size_t file_size = 0x200;  // at least; the headers may make it longer
};
Bytes make_pe(const PeShape& shape);

Bytes read_file(const std::filesystem::path& path);
void write_file(const std::filesystem::path& path, const Bytes& data);
void write_file(const std::filesystem::path& path, const std::string& text);
Bytes concat(const Bytes& a, const Bytes& b);
Bytes pattern_bytes(size_t n, unsigned seed);
// A torrent whose "info" dictionary holds `pieces` as its "pieces" string.
Bytes torrent_with_pieces(const Bytes& pieces);
// A torrent of exactly `size` bytes (at least 21), its pieces repeatable filler.
Bytes make_torrent(size_t size, unsigned seed);
std::filesystem::path fixture(const std::string& name);

// Gives each test its own empty folder, removed afterwards.
class ScratchDirTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    std::filesystem::path path(const std::string& name) const { return dir_ / name; }
    const std::filesystem::path& dir() const { return dir_; }
    // Names of every entry in the folder, sorted.
    std::vector<std::string> listing(const std::filesystem::path& sub = {}) const;

private:
    std::filesystem::path dir_;
};

// Runs each test of a fixture that derives from it once with every filter
// set of the trailer search that this CPU can execute:
//   INSTANTIATE_TEST_SUITE_P(EveryFilterSet, Fixture, every_filter_set(), filter_set_name);
class EachFilterSet : public ::testing::WithParamInterface<const TrailerFilters*> {
protected:
    EachFilterSet() { use_trailer_filters(GetParam()); }
    ~EachFilterSet() { use_trailer_filters(nullptr); }
};
::testing::internal::ParamGenerator<const TrailerFilters*> every_filter_set();
// The set's name ends the test's name, e.g. TrailerCases/avx2.
std::string filter_set_name(const ::testing::TestParamInfo<const TrailerFilters*>& info);
// Failures name the set rather than print its address.
void PrintTo(const TrailerFilters* filters, std::ostream* os);
