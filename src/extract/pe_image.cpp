#include "pe_image.h"

#include <algorithm>

namespace {

constexpr uint16_t DOS_MAGIC = 0x5A4D;         // "MZ"
constexpr uint32_t NT_SIGNATURE = 0x00004550;  // "PE\0\0"
constexpr uint16_t PE32PLUS_MAGIC = 0x20B;
constexpr DWORD DOS_HEADER_SIZE = 64;
constexpr DWORD LFANEW_FIELD = 60;
// Signature, file header and the optional header of a 32-bit image: the
// block read at e_lfanew, which holds every field read from those headers.
constexpr DWORD NT_HEADERS_SIZE = 248;
constexpr DWORD FILE_HEADER_AT = 4;
constexpr DWORD OPTIONAL_HEADER_AT = 24;
constexpr DWORD SECTION_HEADER_SIZE = 40;
constexpr DWORD DIRECTORY_ENTRY_SIZE = 8;  // VirtualAddress, then Size
constexpr DWORD SECTIONS_PER_READ = 64;
constexpr uint64_t COFF_SYMBOL_SIZE = 18;
// The signer aligns the certificate table to 8 bytes with zeros.
constexpr uint64_t CERTIFICATE_ALIGNMENT = 8;
constexpr FileSpan NO_SPAN = {0, 0};

uint16_t load_le16(const unsigned char* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

uint32_t load_le32(const unsigned char* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

PeFileHeader parse_file_header(const unsigned char* p) {
    return {load_le16(p), load_le16(p + 2), load_le32(p + 8), load_le32(p + 12), load_le16(p + 16)};
}

// Where NumberOfRvaAndSizes lies in a 32-bit and a 64-bit optional header.
constexpr DWORD RVA_COUNT_AT_PE32 = 92;
constexpr DWORD RVA_COUNT_AT_PE32PLUS = 108;
static_assert(OPTIONAL_HEADER_AT + RVA_COUNT_AT_PE32PLUS + 4 + (PE_DIRECTORY_SECURITY + 1) * DIRECTORY_ENTRY_SIZE <=
                  NT_HEADERS_SIZE,
              "the certificate table's entry lies inside the block read");

// Fills in the optional header's magic and the certificate table's entry
// from the block read at e_lfanew. The entry counts only when
// NumberOfRvaAndSizes reaches it and the optional header holds it whole.
void parse_directories(const unsigned char* nt, PeHeaders* headers) {
    const unsigned char* optional = nt + OPTIONAL_HEADER_AT;
    headers->pe32plus = load_le16(optional) == PE32PLUS_MAGIC;
    DWORD count_at = headers->pe32plus ? RVA_COUNT_AT_PE32PLUS : RVA_COUNT_AT_PE32;
    DWORD entry_at = count_at + sizeof(uint32_t) + PE_DIRECTORY_SECURITY * DIRECTORY_ENTRY_SIZE;
    bool present = load_le32(optional + count_at) > PE_DIRECTORY_SECURITY &&
                   entry_at + DIRECTORY_ENTRY_SIZE <= headers->file_header.SizeOfOptionalHeader;
    headers->security = present ? PeDataDirectory{load_le32(optional + entry_at),
                                                  load_le32(optional + entry_at + sizeof(uint32_t))}
                                : PeDataDirectory{0, 0};
}

// The certificate table's stretch; empty when the image has none.
FileSpan certificate_table(const PeHeaders& headers) {
    return {headers.security.VirtualAddress, uint64_t{headers.security.VirtualAddress} + headers.security.Size};
}

// The COFF symbol table and the string table after it, whose first 4
// bytes give its size, themselves included; empty when there are none.
FileSpan symbol_tables(InputReader& input, const PeHeaders& headers) {
    const PeFileHeader& file = headers.file_header;
    if (file.PointerToSymbolTable == 0 || file.NumberOfSymbols == 0) return NO_SPAN;
    uint64_t strings = file.PointerToSymbolTable + COFF_SYMBOL_SIZE * file.NumberOfSymbols;
    unsigned char size[4];
    uint64_t length = input.read_if_there(strings, size, sizeof size) ? std::max<uint32_t>(load_le32(size), 4) : 0;
    return {file.PointerToSymbolTable, strings + length};
}

// True when the bytes from `start` up to `end` are all zero.
bool zeros_between(InputReader& input, uint64_t start, uint64_t end) {
    unsigned char gap[CERTIFICATE_ALIGNMENT];
    DWORD count = static_cast<DWORD>(end - start);
    if (!input.read_if_there(start, gap, count)) return false;
    return std::all_of(gap, gap + count, [](unsigned char byte) { return byte == 0; });
}

// True for a structure that is there and starts where the sections end or
// later: one said to start inside them is none of these.
bool after_sections(FileSpan span, uint64_t sections_end) {
    return span.end > span.start && span.start >= sections_end;
}

}  // namespace

bool read_pe_headers(InputReader& input, PeHeaders* headers) {
    unsigned char dos[DOS_HEADER_SIZE];
    if (!input.read_if_there(0, dos, sizeof dos) || load_le16(dos) != DOS_MAGIC) return false;
    headers->e_lfanew = static_cast<int32_t>(load_le32(dos + LFANEW_FIELD));
    // A negative e_lfanew, taken as unsigned, lies past any file read.
    unsigned char nt[NT_HEADERS_SIZE];
    uint64_t lfanew = static_cast<uint32_t>(headers->e_lfanew);
    if (!input.read_if_there(lfanew, nt, sizeof nt) || load_le32(nt) != NT_SIGNATURE) return false;
    headers->file_header = parse_file_header(nt + FILE_HEADER_AT);
    if (headers->file_header.SizeOfOptionalHeader == 0) return false;
    parse_directories(nt, headers);
    // The section table follows the optional header, whose length the file
    // header gives: 224 and 240 bytes from the usual linkers, but any
    // length is valid, and the loader goes by it.
    headers->section_table = lfanew + OPTIONAL_HEADER_AT + headers->file_header.SizeOfOptionalHeader;
    return true;
}

bool read_section_data_end(InputReader& input, const PeHeaders& headers, uint64_t* end) {
    unsigned char table[SECTIONS_PER_READ * SECTION_HEADER_SIZE];
    uint32_t count = headers.file_header.NumberOfSections;
    *end = 0;
    for (uint32_t done = 0; done < count;) {
        DWORD batch = std::min<DWORD>(SECTIONS_PER_READ, count - done);
        if (!input.read_if_there(headers.section_table + uint64_t{done} * SECTION_HEADER_SIZE, table,
                                 batch * SECTION_HEADER_SIZE))
            return false;
        for (DWORD i = 0; i < batch; ++i) {
            const unsigned char* section = table + i * SECTION_HEADER_SIZE;
            uint32_t SizeOfRawData = load_le32(section + 16);
            uint32_t PointerToRawData = load_le32(section + 20);
            if (PointerToRawData >= *end) *end = uint64_t{PointerToRawData} + SizeOfRawData;
        }
        done += batch;
    }
    return true;
}

FileSpan appended_data(InputReader& input, const PeHeaders& headers, uint64_t sections_end, uint64_t size) {
    FileSpan certificates = certificate_table(headers);
    FileSpan symbols = symbol_tables(input, headers);
    bool certificates_left = after_sections(certificates, sections_end);
    bool symbols_left = after_sections(symbols, sections_end);
    uint64_t at = sections_end;
    // The structures may come in either order: skip each that starts here.
    for (;;) {
        if (certificates_left && certificates.start >= at && certificates.start - at < CERTIFICATE_ALIGNMENT &&
            zeros_between(input, at, certificates.start)) {
            at = certificates.end;
            certificates_left = false;
        } else if (symbols_left && symbols.start == at) {
            at = symbols.end;
            symbols_left = false;
        } else {
            break;
        }
    }
    // One left that starts before `at` overlaps one skipped: nothing is
    // appended then.
    uint64_t end = size;
    if (certificates_left) end = std::min(end, certificates.start);
    if (symbols_left) end = std::min(end, symbols.start);
    return {at, std::max(at, end)};
}
