#include "locator_model.h"

namespace {

using Data = std::vector<unsigned char>;

// A read of `n` bytes at `pos` works only when all of them lie in the file
// and the position is a signed 32-bit offset.
bool readable(const Data& d, uint64_t pos, uint64_t n) { return pos <= INT32_MAX && pos + n <= d.size(); }

uint32_t u16(const Data& d, uint64_t pos) { return d[pos] | d[pos + 1] << 8; }

uint32_t u32(const Data& d, uint64_t pos) {
    return d[pos] | d[pos + 1] << 8 | d[pos + 2] << 16 | uint32_t{d[pos + 3]} << 24;
}

PayloadLocation model_pe(const Data& d) {
    const PayloadLocation nothing = {0, 0};
    if (!readable(d, 0, 64) || u16(d, 0) != 0x5A4D) return nothing;
    int32_t lfanew = static_cast<int32_t>(u32(d, 60));
    if (lfanew < 0) return nothing;
    uint64_t nt = static_cast<uint64_t>(lfanew);
    if (!readable(d, nt, 248)) return nothing;
    if (u32(d, nt) != 0x00004550) return nothing;
    uint32_t sections = u16(d, nt + 6);
    uint32_t optional_size = u16(d, nt + 20);
    if (optional_size == 0) return nothing;
    uint64_t optional = nt + 24;
    bool pe32plus = u16(d, optional) == 0x20B;
    // PE32+: the table follows the optional header; otherwise the fixed 248 bytes.
    uint64_t table = pe32plus ? optional + optional_size : nt + 248;
    if (!readable(d, table, uint64_t{sections} * 40)) return nothing;
    uint32_t end = 0;
    for (uint32_t i = 0; i < sections; ++i) {
        uint32_t raw_size = u32(d, table + 40 * i + 16);
        uint32_t raw_pointer = u32(d, table + 40 * i + 20);
        if (raw_pointer >= end) end = raw_pointer + raw_size;  // wraps at 2^32
    }
    if (end == 0) return nothing;
    // Data directory 4, the certificate table; its address is a file offset.
    // The directories follow NumberOfRvaAndSizes, at 92 (PE32+: 108) in the
    // optional header; entry 4 must lie inside the header and be counted.
    uint32_t count_at = pe32plus ? 108 : 92;
    uint32_t entry_at = count_at + 4 + 4 * 8;
    if (optional_size >= entry_at + 8 && u32(d, optional + count_at) > 4) {
        uint32_t start = u32(d, optional + entry_at);
        uint32_t size = u32(d, optional + entry_at + 4);
        if (size != 0 && start >= end && uint64_t{start} + size == d.size()) {
            if (start == end) return {static_cast<uint32_t>(d.size()), 0};
            return {end, start - end};
        }
    }
    return {end, 0};
}

}  // namespace

bool model_trailer(const Data& data, PayloadLocation* found) {
    auto read8 = [&](uint64_t p, unsigned char* t) {
        std::memcpy(t, data.data() + p, TRAILER_SIZE);
        return true;
    };
    return model_trailer(data.size(), read8, found);
}

PayloadLocation model_locate(const Data& data) {
    PayloadLocation found;
    if (model_trailer(data, &found)) return found.offset == 0 ? PayloadLocation{0, 0} : found;
    return model_pe(data);
}

bool real_locate(const Data& data, const char* scratch_file, PayloadLocation* found) {
    {
        ScopedHandle output(CreateFileA(scratch_file, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                        FILE_ATTRIBUTE_ARCHIVE, nullptr));
        if (!output.valid()) return false;
        DWORD written = 0;
        if (!data.empty() && (!WriteFile(output.get(), data.data(), static_cast<DWORD>(data.size()), &written, nullptr) ||
                              written != data.size()))
            return false;
        if (!output.reset()) return false;
    }
    ScopedHandle input(CreateFileA(scratch_file, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                   OPEN_EXISTING, FILE_ATTRIBUTE_ARCHIVE, nullptr));
    if (!input.valid()) return false;
    *found = locate_payload(input.get());
    return true;
}
