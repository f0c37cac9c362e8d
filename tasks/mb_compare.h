// Comparing narrow strings of the system code page without regard to letter case, character by
// character: a double-byte character is compared whole, so its second byte is never folded as
// if it were a letter of its own.
#pragma once

#include <string>

// Negative, zero or positive as `a` sorts before, with or after `b`. ASCII letters compare as
// their lower case; a double-byte character compares by its two bytes and after every
// single-byte character.
int CompareNoCaseMultibyte(const std::string& a, const std::string& b);
