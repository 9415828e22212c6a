// Bytes for test inputs, shared by the tests and the benchmark: a
// little-endian byte builder, the trailer, minimal PE images and torrents.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

using Bytes = std::vector<unsigned char>;

// Appends little-endian fields and raw bytes; `put*` overwrite in place,
// growing the data with zeros when it is shorter.
class ByteBuilder {
public:
    ByteBuilder& u16(uint16_t v) { return put16(size(), v); }
    ByteBuilder& u32(uint32_t v) { return put32(size(), v); }
    ByteBuilder& text(const std::string& s) { return bytes(Bytes(s.begin(), s.end())); }
    ByteBuilder& bytes(const Bytes& b);
    ByteBuilder& zeros(size_t n) { return fill_to(size() + n); }
    ByteBuilder& fill_to(size_t size);
    ByteBuilder& put16(size_t at, uint16_t v) { return put(at, v, 2); }
    ByteBuilder& put32(size_t at, uint32_t v) { return put(at, v, 4); }
    size_t size() const { return data_.size(); }
    const Bytes& data() const { return data_; }

private:
    ByteBuilder& put(size_t at, uint32_t v, size_t bytes);
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

// A torrent whose "info" dictionary holds `pieces` as its "pieces" string.
Bytes torrent_with_pieces(const Bytes& pieces);
