#include "pe_extremes.h"

#include <algorithm>

#include "support.h"

namespace {

// The smallest torrent there is: "d4:infod6:pieces1:xee" and a little more.
constexpr uint32_t SMALLEST_TORRENT = 21;

// `count` sections of 16 bytes each from 0x1000 on.
std::vector<RawSection> consecutive(uint32_t count) {
    std::vector<RawSection> all;
    for (uint32_t i = 0; i < count; ++i) all.push_back({0x1000 + 0x10 * i, 0x10});
    return all;
}

// 65534 sections that end at 0x300, then `last`.
std::vector<RawSection> many_then(RawSection last) {
    std::vector<RawSection> sections(65534, RawSection{0x200, 0x100});
    sections.push_back(last);
    return sections;
}

constexpr uint32_t TABLE_END = 0x80 + 248 + 65535 * 40;

std::vector<PeExtreme> rows() {
    const std::vector<RawSection> one = {{0x200, 0x100}};
    return {
        {"sections in order", {.sections = {{0x200, 0x400}, {0x600, 0x200}, {0x800, 0x200}}, .file_size = 0xC00}, 0xA00},
        {"a section starting before the running end is passed over",
         {.sections = {{0x200, 0x200}, {0x300, 0x800}}, .file_size = 0xC00}, 0x400},
        {"a late first section", {.sections = {{0x800, 0x200}, {0x200, 0x400}, {0x600, 0x200}}, .file_size = 0xC00}, 0xA00},
        {"no appended data", {.sections = one, .file_size = 0x300}},
        {"sections said to reach past the end", {.sections = {{0x200, 0x300}}, .file_size = 0x300}},
        {"70 sections, read in two batches", {.sections = consecutive(70), .file_size = 0x1500}, 0x1460},
        {"no sections", {.sections = {}}},
        {"only empty sections at 0, a signature there too",
         {.sections = {{0, 0}, {0, 0}}, .certificate_start = 0, .certificate_size = 0x100, .file_size = 0x400}},
        {"section table cut short", {.sections = {{0x200, 0x100}, {0x300, 0x100}}, .file_size = 0x80 + 248 + 50}},
        {"65535 sections, table cut short", {.sections = std::vector<RawSection>(65535, RawSection{0x200, 0x100}),
                                              .file_size = TABLE_END - 1}},
        {"65535 sections, all there: the last one counts",
         {.sections = many_then({TABLE_END, 0x10}), .file_size = TABLE_END + 0x110}, TABLE_END + 0x10},
        // Ends are summed in 64 bits: past 2^32 is past the file, not near its start.
        {"a sum past 2^32", {.sections = {{0xFFFFFF00u, 0x300}}, .file_size = 0x400}},
        {"a section past 2^32 after a real one", {.sections = {{0x200, 0x100}, {0xFFFFFFFFu, 0x302}}, .file_size = 0x400}},
        {"an end at 2^31", {.sections = {{0x80000000u, 0}}}},
        {"an end at 2^32 - 1", {.sections = {{0x200, 0xFFFFFDFFu}}}},
        {"negative e_lfanew", {.lfanew = -8, .sections = one}},
        {"e_lfanew -1", {.sections = one}, 0, 0xFFFFFFFFu},
        {"e_lfanew INT32_MIN", {.sections = one}, 0, 0x80000000u},
        {"e_lfanew INT32_MAX", {.sections = one}, 0, 0x7FFFFFFFu},
        {"e_lfanew 4 GiB - 248", {.sections = one}, 0, 0xFFFFFF08u},
        {"e_lfanew at the end", {.sections = one}, 0, 0x200},
        {"e_lfanew 1 byte short of the NT headers", {.sections = one}, 0, 0x200 - 247},
        // Optional headers of unusual lengths put the section table elsewhere.
        {"PE32+ optional header of 65535 bytes", {.pe32plus = true, .optional_size = 0xFFFF, .sections = one}},
        {"PE32+ optional header of the usual 240 bytes",
         {.pe32plus = true, .sections = {{0x400, 0x200}, {0x600, 0x80}}, .file_size = 0x700}, 0x680},
        {"PE32+ optional header of 248 bytes", {.pe32plus = true, .optional_size = 0xF8, .sections = {{0x400, 0x200}},
                                                .file_size = 0x700}, 0x600},
        {"PE32+ optional header of 272 bytes", {.pe32plus = true, .optional_size = 0x110, .sections = {{0x400, 0x300}},
                                                .file_size = 0x800}, 0x700, PeExtreme::KEEP, true},
        {"PE32 optional header of 256 bytes", {.optional_size = 0x100, .sections = {{0x400, 0x400}}, .file_size = 0x900},
         0x800, PeExtreme::KEEP, true},
        {"PE32 optional header of 192 bytes",
         {.optional_size = 0xC0, .sections = {{0x200, 0x200}, {0x400, 0x100}}, .file_size = 0x600}, 0x500,
         PeExtreme::KEEP, true},
        {"a certificate table at 2^32 - 1",
         {.sections = one, .certificate_start = 0xFFFFFFFFu, .certificate_size = 1, .file_size = 0x400}, 0x300},
        {"a certificate table of 2^32 - 1 bytes",
         {.sections = one, .certificate_start = 0x300, .certificate_size = 0xFFFFFFFFu, .file_size = 0x400}},
        {"a certificate table said to start just past the file's end is none",
         {.sections = one, .certificate_start = 0x304, .certificate_size = 0x100, .file_size = 0x302}, 0x300},
        {"a string table cut inside its size leaves what follows the symbols",
         {.sections = one, .symbol_table = 0x300, .symbol_count = 2, .file_size = 0x326}, 0x324},
    };
}

}  // namespace

const std::vector<PeExtreme>& pe_extremes() {
    static const std::vector<PeExtreme> all = rows();
    return all;
}

bool pe_extreme_holds_torrent(const PeExtreme& row) {
    return row.offset != 0 && row.shape.file_size - row.offset >= SMALLEST_TORRENT;
}

Bytes pe_extreme_image(const PeExtreme& row) {
    Bytes file = make_pe(row.shape);
    file.resize(row.shape.file_size);
    if (row.lfanew != PeExtreme::KEEP)
        for (int i = 0; i < 4; ++i) file[60 + i] = static_cast<unsigned char>(row.lfanew >> (8 * i));
    // Zeros are no torrent: without one, nothing would be saved.
    if (pe_extreme_holds_torrent(row)) {
        Bytes torrent = make_torrent(file.size() - row.offset, 5);
        std::copy(torrent.begin(), torrent.end(), file.begin() + row.offset);
    }
    return file;
}
