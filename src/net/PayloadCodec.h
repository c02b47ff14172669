// The payload encoding of request and reply bodies: an escaping layer that
// reduces any byte string to letters, digits and '%', and a keyed scrambling
// layer that turns such a text into letters and digits only.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

#include "base/BuildConfig.h"

namespace quon {

// The C library's generator (state * 214013 + 2531011, bits 16..30), one per
// thread. The same sequence on every platform, unlike the platform's rand().
void CrtSeed(uint32_t seed);
int CrtRand();  // 0..32767

// Escapes every byte that is not an ASCII letter or digit as %XX (upper-case
// hex). Output is at most 3n characters.
std::string PercentEncode(std::string_view text);
// Undoes PercentEncode in place. Lenient: a '%' followed by non-hex
// characters gives whatever the digit rule computes; a '%' with fewer than
// two characters after it is kept as a literal '%' (the scheme never writes
// one, and reading past the end is never an option). Returns the new length.
size_t PercentDecode(char* text, size_t length);
std::string PercentDecode(std::string_view text);

// Escapes, then scrambles with fresh salt from the calling thread's
// generator. The result holds only A-Z, a-z, 0-9.
std::string ScrambleText(std::string_view text, std::string_view key = ScrambleKey());
// Reverses ScrambleText; stops quietly at an incomplete last group and skips
// non-alphanumeric characters between groups.
std::string UnscrambleText(std::string_view text, std::string_view key = ScrambleKey());

}  // namespace quon
