#include "image.h"

ByteBuilder& ByteBuilder::bytes(const Bytes& b) {
    data_.insert(data_.end(), b.begin(), b.end());
    return *this;
}

ByteBuilder& ByteBuilder::fill_to(size_t size) {
    if (data_.size() < size) data_.resize(size, 0);
    return *this;
}

ByteBuilder& ByteBuilder::put(size_t at, uint32_t v, size_t bytes) {
    fill_to(at + bytes);
    for (size_t i = 0; i < bytes; ++i) data_[at + i] = static_cast<unsigned char>(v >> (8 * i));
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
    b.put32(nt + 12, shape.symbol_table);
    b.put32(nt + 16, shape.symbol_count);
    b.put16(nt + 4, shape.pe32plus ? 0x8664 : 0x14C);
    b.put16(nt + 6, static_cast<uint16_t>(shape.sections.size()));
    b.put16(nt + 20, optional_size);
    size_t optional = nt + 24;
    b.put16(optional, shape.pe32plus ? 0x20B : 0x10B);
    size_t directories = optional + (shape.pe32plus ? 112 : 96);
    b.put32(directories - 4, shape.directories);
    b.put32(directories + 4 * 8, shape.certificate_start);
    b.put32(directories + 4 * 8 + 4, shape.certificate_size);
    size_t table = optional + optional_size;
    for (size_t i = 0; i < shape.sections.size(); ++i) {
        size_t header = table + 40 * i;
        b.put32(header, 0x7865742E);  // ".tex"
        b.put32(header + 16, shape.sections[i].size);
        b.put32(header + 20, shape.sections[i].pointer);
    }
    b.fill_to(shape.file_size);
    return b.data();
}

Bytes torrent_with_pieces(const Bytes& pieces) {
    return ByteBuilder().text("d4:infod6:pieces" + std::to_string(pieces.size()) + ":").bytes(pieces).text("ee").data();
}
