// Windows: the text is in the ANSI code page (UTF-8 only when that is the
// code page). Undefined bytes of Windows-1252 (0x81, 0x8D, 0x8F, 0x90,
// 0x9D) come out of the conversion as C1 controls, and code pages such as
// 1255 and 1256 hold bidirectional marks: the filter runs on the converted
// text.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include "base/ProgramText.h"

namespace quon {

bool ProgramTextIsUtf8(std::string_view text) { return GetACP() == CP_UTF8 && IsStrictUtf8(text); }

size_t CharacterLength(std::string_view text, size_t at, bool utf8) {
  if (utf8) return Utf8CharacterLength(text, at);
  return IsDBCSLeadByteEx(CP_ACP, static_cast<BYTE>(text[at])) && at + 1 < text.size() ? 2 : 1;
}

std::wstring TerminalWideText(std::string_view text) {
  if (text.empty()) return {};
  const int length = static_cast<int>(text.size());
  const int n = MultiByteToWideChar(CP_ACP, 0, text.data(), length, nullptr, 0);
  if (n <= 0) return {};
  std::wstring wide(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_ACP, 0, text.data(), length, &wide[0], n);
  // Every unsafe character lies in the basic plane; surrogates are not.
  for (wchar_t& c : wide) {
    if (IsUnsafeForTerminal(static_cast<char32_t>(c))) c = static_cast<wchar_t>(kReplacementChar);
  }
  return wide;
}

std::string TerminalText(std::string_view text) {
  const std::wstring wide = TerminalWideText(text);
  if (wide.empty()) return {};
  const int length = static_cast<int>(wide.size());
  const int n = WideCharToMultiByte(CP_ACP, 0, wide.data(), length, nullptr, 0, nullptr, nullptr);
  if (n <= 0) return {};
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_ACP, 0, wide.data(), length, &out[0], n, nullptr, nullptr);
  return out;
}

}  // namespace quon
