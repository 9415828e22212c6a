// PE images with their header fields at the extremes and in unusual
// shapes, and where the rules say the data appended after their sections
// begins. One table, run in-process against the locator and end to end
// against the program.
#pragma once

#include <cstdint>
#include <ostream>
#include <vector>

#include "image.h"

struct PeExtreme {
    const char* what;
    PeShape shape;          // cut to its file_size
    uint32_t offset = 0;    // where the appended data begins, running to the file's end; 0: none
    uint32_t lfanew = KEEP; // written over e_lfanew unless KEEP, for values the shape's field cannot hold
    bool pefile_agrees = false;  // pefile, an independent reader, finds the same start

    static constexpr uint32_t KEEP = 0x12345678;
};

const std::vector<PeExtreme>& pe_extremes();

// The row's image, with a torrent filling its appended data where one fits.
Bytes pe_extreme_image(const PeExtreme& row);

// Whether the row's appended data holds a torrent, which is then saved.
bool pe_extreme_holds_torrent(const PeExtreme& row);

// Failures name the row rather than print its bytes.
inline void PrintTo(const PeExtreme& row, std::ostream* os) { *os << row.what; }
