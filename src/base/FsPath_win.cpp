// Windows: 8-bit paths are in the ANSI code page. The standard library would
// read each byte as a character of its own (Latin-1), which names another
// file as soon as a folder's name has a character outside ASCII, so every
// path is converted here with the system's ANSI code page.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include "base/FsPath.h"

namespace quon {

std::filesystem::path FsPath(const std::string& path) {
  if (path.empty()) return std::filesystem::path();
  const int length = static_cast<int>(path.size());
  const int n = MultiByteToWideChar(CP_ACP, 0, path.data(), length, nullptr, 0);
  if (n <= 0) return std::filesystem::path();
  std::wstring wide(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_ACP, 0, path.data(), length, &wide[0], n);
  return std::filesystem::path(wide);
}

namespace {

// Converts with the ANSI code page, without "best fit" look-alikes (a
// full-width letter never becomes its ASCII twin); `exact` tells whether
// every character had its own spelling.
std::string ToAnsi(const std::wstring& wide, bool& exact) {
  exact = true;
  if (wide.empty()) return std::string();
  const int length = static_cast<int>(wide.size());
  BOOL usedDefault = FALSE;
  const int n =
      WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(), length, nullptr, 0, nullptr, &usedDefault);
  if (n <= 0) {
    exact = false;
    return std::string();
  }
  std::string text(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(), length, &text[0], n, nullptr, &usedDefault);
  exact = !usedDefault;
  return text;
}

}  // namespace

std::string PathText(const std::filesystem::path& path) {
  bool exact = true;
  return ToAnsi(path.native(), exact);
}

bool NameText(const std::filesystem::path& name, std::string& text) {
  bool exact = true;
  text = ToAnsi(name.native(), exact);
  // Characters that map to one byte sequence and back to another wide text
  // are not exact either.
  return exact && !text.empty() && FsPath(text).native() == name.native();
}

std::FILE* OpenFile(const std::string& path, const char* mode) {
  const std::wstring wideMode(mode, mode + std::char_traits<char>::length(mode));
  return _wfopen(FsPath(path).c_str(), wideMode.c_str());
}

size_t FindPathSeparator(std::string_view path, size_t from) {
  for (size_t i = from; i < path.size(); ++i) {
    const char c = path[i];
    if (c == '\\' || c == '/') return i;
    // The trail byte belongs to the character, whatever its value.
    if (IsDBCSLeadByteEx(CP_ACP, static_cast<BYTE>(c)) && i + 1 < path.size()) ++i;
  }
  return std::string_view::npos;
}

}  // namespace quon
