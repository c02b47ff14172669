// Reading numbers and handling path text the way the C library and the
// product's file layout expect, independent of the process locale; and the
// plain text helpers that every reader of a text file uses (case, trimming,
// lines).
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

namespace quon {

// isspace in the C locale: blank, \t, \n, \v, \f, \r.
bool IsCSpace(char c);

// atoi: leading white space, an optional sign, decimal digits up to the
// first other character; no digits give 0. Saturates at the 32-bit range.
int32_t CAtoi(std::string_view text);
// strtoul in base 10 with a 32-bit unsigned long: a minus sign negates
// modulo 2^32, a magnitude beyond 4294967295 gives 4294967295.
uint32_t CStrtoul(std::string_view text);
// atof in the C locale for decimal text only: white space, sign, decimal
// digits with an optional point and exponent; anything else (hexadecimal,
// inf, nan) reads as far as it is decimal, and no number gives 0.0.
double CAtof(std::string_view text);

// ASCII upper-casing and lower-casing; other bytes are left alone.
std::string AsciiUpper(std::string_view text);
std::string AsciiLower(std::string_view text);
// What Trim removes unless told otherwise: the characters of IsCSpace.
inline constexpr std::string_view kCSpaces = " \t\n\v\f\r";
// `text` without the characters of `chars` at its start, at its end, or at
// both ends.
std::string_view TrimLeft(std::string_view text, std::string_view chars = kCSpaces);
std::string_view TrimRight(std::string_view text, std::string_view chars = kCSpaces);
std::string_view Trim(std::string_view text, std::string_view chars = kCSpaces);
// Blanks and tabs at both ends, and a CR at the end (the rest of a CR LF
// line end): how the key = value files written by hand read their lines
// and the parts of them.
std::string_view TrimBlanks(std::string_view text);

// Takes the first line off `rest`: the text before its first '\n' (the
// '\n' goes with it) or, without one, all of it. False, with nothing
// taken, when `rest` is empty, so a text that ends in '\n' has no empty
// last line. Read a text line by line with
//   for (std::string_view rest = text, line; NextLine(rest, line);) ...
bool NextLine(std::string_view& rest, std::string_view& line);

// Case-insensitive (ASCII) comparison of the first n characters, the way
// strnicmp compares: a shorter text differs.
bool PrefixEqualsNoCase(std::string_view text, std::string_view prefix);

// Position of the last character of `path` that is one of `separators`,
// or npos. Bytes are compared one by one (paths in a single-byte code page,
// or UTF-8, where no trail byte is an ASCII separator).
size_t FindLastSeparator(std::string_view path, std::string_view separators);
// Ends in '\\' or '/', read by characters of the system's code page.
bool EndsWithSeparator(std::string_view path);
// Appends `separator` unless the path already ends in '\\' or '/'.
std::string WithTrailingSeparator(std::string path, char separator);

// Piece of `text` from `start` with `length` characters, clamped the way the
// session's string type clamps: a start below 0 counts as 0, a negative
// length or a start beyond the end gives an empty piece.
std::string_view MidPiece(std::string_view text, long long start, long long length);
std::string_view MidPiece(std::string_view text, long long start);

}  // namespace quon
