// Linux: UTF-8 when the whole text is, else Windows-1252 byte by byte.
#include "base/ProgramText.h"

namespace quon {

bool ProgramTextIsUtf8(std::string_view text) { return IsStrictUtf8(text); }

size_t CharacterLength(std::string_view text, size_t at, bool utf8) { return utf8 ? Utf8CharacterLength(text, at) : 1; }

std::string TerminalText(std::string_view text) { return SafeUtf8Text(text); }

}  // namespace quon
