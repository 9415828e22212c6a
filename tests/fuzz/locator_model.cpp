#include "locator_model.h"

#include <algorithm>
#include <cstring>

namespace {

using Data = std::vector<unsigned char>;

// A read of `n` bytes at `pos` works only when all of them lie in the file
// and the position is a signed 32-bit offset.
bool readable(const Data& d, uint64_t pos, uint64_t n) { return pos <= INT32_MAX && pos + n <= d.size(); }

uint32_t u16(const Data& d, uint64_t pos) { return d[pos] | d[pos + 1] << 8; }

uint32_t u32(const Data& d, uint64_t pos) {
    return d[pos] | d[pos + 1] << 8 | d[pos + 2] << 16 | uint32_t{d[pos + 3]} << 24;
}

PayloadLocation span(uint64_t start, uint64_t end) {
    if (start == 0 || end <= start) return {0, 0};
    return {static_cast<uint32_t>(start), static_cast<uint32_t>(end - start)};
}

// The data after the sections, before or between the certificate table and
// the symbol tables, as model_locate documents; {0, 0} for none.
PayloadLocation model_appended(const Data& d, uint64_t nt, bool pe32plus, uint32_t optional_size, uint64_t end) {
    uint64_t optional = nt + 24;
    // Data directory 4, the certificate table, counted by NumberOfRvaAndSizes
    // at 92 (PE32+: 108) and inside both the optional header and the 248
    // bytes read.
    uint32_t count_at = pe32plus ? 108 : 92;
    uint32_t entry_at = count_at + 4 + 4 * 8;
    bool has_certificates = entry_at + 8 <= std::min<uint32_t>(optional_size, 224) && u32(d, optional + count_at) > 4;
    uint64_t cert_start = has_certificates ? u32(d, optional + entry_at) : 0;
    uint64_t cert_end = cert_start + (has_certificates ? u32(d, optional + entry_at + 4) : 0);
    // The symbol table: 18 bytes a symbol, then the string table, whose
    // first four bytes give its size, at least 4.
    uint64_t sym_start = u32(d, nt + 12), symbols = u32(d, nt + 16);
    uint64_t strings = sym_start + 18 * symbols;
    uint64_t sym_end = sym_start == 0 || symbols == 0 ? sym_start
                       : readable(d, strings, 4) ? strings + std::max<uint32_t>(u32(d, strings), 4)
                                                 : strings;
    // One said to start inside the sections is none.
    bool cert_left = cert_end > cert_start && cert_start >= end, sym_left = sym_end > sym_start && sym_start >= end;
    uint64_t at = end;
    for (bool skipped = true; skipped;) {
        skipped = false;
        if (cert_left && cert_start >= at && cert_start - at < 8 && readable(d, at, cert_start - at) &&
            std::all_of(d.begin() + at, d.begin() + cert_start, [](unsigned char b) { return b == 0; })) {
            at = cert_end;
            cert_left = false;
            skipped = true;
        } else if (sym_left && sym_start == at) {
            at = sym_end;
            sym_left = false;
            skipped = true;
        }
    }
    uint64_t stop = d.size();
    if (cert_left) stop = std::min(stop, cert_start);
    if (sym_left) stop = std::min(stop, sym_start);
    return span(at, stop);
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
    bool pe32plus = u16(d, nt + 24) == 0x20B;
    // The table follows the optional header, of the length the file header gives.
    uint64_t table = nt + 24 + optional_size;
    if (!readable(d, table, uint64_t{sections} * 40)) return nothing;
    uint64_t end = 0;
    for (uint32_t i = 0; i < sections; ++i) {
        uint64_t raw_size = u32(d, table + 40 * i + 16);
        uint64_t raw_pointer = u32(d, table + 40 * i + 20);
        if (raw_pointer >= end) end = raw_pointer + raw_size;  // never wraps
    }
    if (end == 0) return nothing;
    return model_appended(d, nt, pe32plus, optional_size, end);
}

// Recursive descent over one bencoded value at d[*pos], within `end`:
// 1 when it is whole, 0 when malformed, -1 when the data ends inside it.
int model_value(const Data& d, size_t* pos, size_t end, int depth, PayloadLocation* info, bool outer) {
    auto digits = [&](size_t* n) {
        size_t first = *pos;
        while (*pos < end && d[*pos] >= '0' && d[*pos] <= '9') ++*pos;
        *n = *pos - first;
    };
    if (*pos >= end) return -1;
    unsigned char c = d[*pos];
    if (c == 'i') {
        ++*pos;
        if (*pos < end && d[*pos] == '-') ++*pos;
        size_t n;
        digits(&n);
        if (*pos >= end) return -1;
        return n > 0 && d[(*pos)++] == 'e' ? 1 : 0;
    }
    if (c >= '0' && c <= '9') {
        size_t first = *pos, n;
        digits(&n);
        if (n > 10) return 0;
        uint64_t length = 0;
        for (size_t i = first; i < *pos; ++i) length = length * 10 + (d[i] - '0');
        if (length > 0x7FFFFFFF) return 0;
        if (*pos >= end) return -1;
        if (d[(*pos)++] != ':') return 0;
        if (length > end - *pos) return -1;
        *pos += length;
        return 1;
    }
    if (c != 'l' && c != 'd') return 0;
    if (depth == TORRENT_MAX_NESTING) return 0;
    ++*pos;
    for (;;) {
        if (*pos >= end) return -1;
        if (d[*pos] == 'e') {
            ++*pos;
            return 1;
        }
        bool key_is_info = false;
        if (c == 'd') {
            if (d[*pos] < '0' || d[*pos] > '9') return 0;
            size_t key_start = *pos;
            int key = model_value(d, pos, end, depth + 1, info, false);
            if (key != 1) return key;
            size_t content = std::find(d.begin() + key_start, d.begin() + *pos, ':') - d.begin() + 1;
            key_is_info = outer && *pos - content == 4 && std::memcmp(&d[content], "info", 4) == 0;
        }
        size_t value_start = *pos;
        int value = model_value(d, pos, end, depth + 1, info, false);
        if (value != 1) return value;
        // The first "info" whose value is a dictionary.
        if (key_is_info && d[value_start] == 'd' && info->length == 0)
            *info = {static_cast<uint32_t>(value_start), static_cast<uint32_t>(*pos - value_start)};
    }
}

}  // namespace

bool model_trailer(const Data& data, uint32_t* position, int32_t* back) {
    auto read8 = [&](uint64_t p, unsigned char* t) {
        std::memcpy(t, data.data() + p, TRAILER_SIZE);
        return true;
    };
    return model_trailer(data.size(), read8, position, back);
}

PayloadLocation model_locate(const Data& data) {
    uint32_t position;
    int32_t back;
    if (!model_trailer(data, &position, &back)) return model_pe(data);
    int64_t start = int64_t{position} + back;
    return span(static_cast<uint64_t>(start), back < 0 ? position : data.size());
}

TorrentCheck model_check(const Data& data, uint32_t offset, uint32_t length) {
    size_t pos = offset, end = std::min<size_t>(data.size(), size_t{offset} + length);
    if (pos < end && data[pos] != 'd') return {TorrentCheck::NOTHING, 0, NO_ERROR, {0, 0}};
    PayloadLocation info = {0, 0};
    int whole = model_value(data, &pos, end, 0, &info, true);
    if (whole < 0) return {TorrentCheck::INCOMPLETE, 0, NO_ERROR, {0, 0}};
    if (whole == 0 || info.length == 0) return {TorrentCheck::NOTHING, 0, NO_ERROR, {0, 0}};
    return {TorrentCheck::FOUND, static_cast<uint32_t>(pos - offset), NO_ERROR, info};
}

HANDLE write_and_open(const Data& data, const char* scratch_file) {
    {
        // The POSIX stand-in, like the program, only makes new files.
        DeleteFileA(scratch_file);
        ScopedHandle output(CreateFileA(scratch_file, GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                        FILE_ATTRIBUTE_ARCHIVE, nullptr));
        if (!output.valid()) return INVALID_HANDLE_VALUE;
        DWORD written = 0;
        if (!data.empty() && (!WriteFile(output.get(), data.data(), static_cast<DWORD>(data.size()), &written, nullptr) ||
                              written != data.size()))
            return INVALID_HANDLE_VALUE;
        if (!output.reset()) return INVALID_HANDLE_VALUE;
    }
    return CreateFileA(scratch_file, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_ARCHIVE, nullptr);
}
