// Stands in for the wildcard rule of the Windows file search. Only `*` and
// `?` are special there; brackets, backslashes and every other byte of a
// pattern are part of the name, unlike in fnmatch or a shell's glob.
#include "wildcard.h"

namespace {

bool is_continuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// The length of the character that starts at `text`: a whole UTF-8
// sequence, or 1 for a byte that does not begin a complete one.
int character_length(const char* text) {
    unsigned char lead = static_cast<unsigned char>(text[0]);
    int length = 1;
    if (lead >= 0xC2 && lead <= 0xDF)
        length = 2;
    else if (lead >= 0xE0 && lead <= 0xEF)
        length = 3;
    else if (lead >= 0xF0 && lead <= 0xF4)
        length = 4;
    // The terminating zero is no continuation byte, so this stops at the end.
    for (int i = 1; i < length; ++i)
        if (!is_continuation(static_cast<unsigned char>(text[i]))) return 1;
    return length;
}

}  // namespace

// Matches left to right and, on a mismatch, lets the last `*` take one more
// character: linear in the name for each `*`, with no recursion.
bool wildcard_match(const char* pattern, const char* name) {
    const char* star = nullptr;      // the pattern just after the last `*`
    const char* star_name = nullptr; // where the name stood when that `*` took nothing more
    while (*name) {
        if (*pattern == '*') {
            star = ++pattern;
            star_name = name;
        } else if (*pattern == '?') {
            ++pattern;
            name += character_length(name);
        } else if (*pattern == *name) {  // never the pattern's end: *name is no zero
            ++pattern;
            ++name;
        } else if (star) {
            star_name += character_length(star_name);
            pattern = star;
            name = star_name;
        } else {
            return false;
        }
    }
    while (*pattern == '*') ++pattern;
    return *pattern == '\0';
}
