// The program's 8-bit text read by characters, and made safe for a terminal
// or a log. On Linux a text is UTF-8 when the whole of it is strictly valid
// UTF-8 and Windows-1252 otherwise (the way the desktop program shows it);
// on Windows it is in the ANSI code page. ProgramText_posix.cpp and
// ProgramText_win.cpp hold the system's side.
#pragma once
#include <cstddef>
#include <string>
#include <string_view>

namespace quon {

// Strictly valid UTF-8: no overlong form (such as E0 82 9B), no surrogate
// (ED A0..BF), nothing beyond U+10FFFF, no sequence cut short.
bool IsStrictUtf8(std::string_view text);

// The character a Windows-1252 byte stands for; bytes the code page leaves
// undefined (0x81, 0x8D, 0x8F, 0x90, 0x9D) stand for the C1 controls of the
// same value, as Windows reads them.
char32_t Windows1252ToUnicode(unsigned char byte);

// Characters that must never reach a terminal or a log as they are: the C0
// controls but tab and line feed, DEL, the C1 controls (U+0080..U+009F:
// OSC, DCS, CSI, reverse index), the bidirectional controls (U+061C,
// U+200E, U+200F, U+202A..U+202E, U+2066..U+2069) and the line and
// paragraph separators U+2028 and U+2029.
bool IsUnsafeForTerminal(char32_t c);

// The character that takes the place of an unsafe one.
constexpr char kReplacementChar = '?';

// The length of the well-formed UTF-8 sequence at byte `at`, or 1 when
// there is none there.
size_t Utf8CharacterLength(std::string_view text, size_t at);
// The text read as UTF-8 when it strictly is, else as Windows-1252, and
// written as UTF-8 with every unsafe character replaced.
std::string SafeUtf8Text(std::string_view text);

// Whether `text` reads as UTF-8 on this system.
bool ProgramTextIsUtf8(std::string_view text);
// The length in bytes of the character that starts at byte `at` of `text`
// (at least 1, never past the end). `utf8` tells how the whole text reads
// (ProgramTextIsUtf8).
size_t CharacterLength(std::string_view text, size_t at, bool utf8);

// The text as a terminal, a pipe or a file of this system takes it (UTF-8
// on Linux, the ANSI code page on Windows), every unsafe character replaced
// by kReplacementChar. Line ends are left as they are.
std::string TerminalText(std::string_view text);
// Windows: the same in UTF-16, for the console.
std::wstring TerminalWideText(std::string_view text);

}  // namespace quon
