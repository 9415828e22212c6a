// The file search's wildcard rule, as FindFirstFileA applies it to a name.
#pragma once

// True when `name` matches `pattern`: `*` stands for any run of characters,
// `?` for exactly one character (one UTF-8 sequence; a byte that begins
// none counts alone), and every other byte for itself. Letter case counts.
bool wildcard_match(const char* pattern, const char* name);
