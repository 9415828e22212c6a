// The headers of a PE image, read once into the fields the locator uses,
// under their names in the PE/COFF format, and the data that the image
// carries after its sections. Internal to the locator: the program's
// interface is locator.h.
#pragma once

#include <cstdint>

#include "input.h"

// IMAGE_FILE_HEADER, the fields read.
struct PeFileHeader {
    uint16_t Machine;
    uint16_t NumberOfSections;
    uint32_t PointerToSymbolTable;  // the COFF symbol table's file offset; 0 when there is none
    uint32_t NumberOfSymbols;       // of 18 bytes each; the string table follows them
    uint16_t SizeOfOptionalHeader;
};

// IMAGE_DATA_DIRECTORY. For the certificate table VirtualAddress is a file
// offset, not an address in memory.
struct PeDataDirectory {
    uint32_t VirtualAddress;
    uint32_t Size;
};

constexpr uint32_t PE_DIRECTORY_SECURITY = 4;  // the certificate table

struct PeHeaders {
    int32_t e_lfanew;  // where the NT headers start
    PeFileHeader file_header;
    bool pe32plus;     // a 64-bit optional header
    // DataDirectory[PE_DIRECTORY_SECURITY], the one directory the locator
    // reads; zero when the header does not hold it.
    PeDataDirectory security;
    uint64_t section_table;  // the file offset of the first section header
};

// Reads the DOS and NT headers; false when the input is no PE image (or a
// read failed, which leaves its error in `input`).
bool read_pe_headers(InputReader& input, PeHeaders* headers);

// Where the section data ends by the running-end rule: a section counts
// only when its data starts at or after the end of those counted before.
// Ends are summed in 64 bits, so a bogus size lies past any file rather
// than wrapping around into it. False when the section table cannot be
// read whole.
bool read_section_data_end(InputReader& input, const PeHeaders& headers, uint64_t* end);

// A stretch of the file, [start, end).
struct FileSpan {
    uint64_t start;
    uint64_t end;
};

// The data appended to an image of `size` bytes whose sections end at
// `sections_end`: what follows the certificate table, the COFF symbol table
// and its string table that start there (the certificate table after up to
// 7 zero bytes of alignment), up to the next such structure or the file's
// end. Empty when nothing is appended, as when the sections end past the
// file.
FileSpan appended_data(InputReader& input, const PeHeaders& headers, uint64_t sections_end, uint64_t size);
