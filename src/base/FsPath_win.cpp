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

std::string PathText(const std::filesystem::path& path) {
  const std::wstring& wide = path.native();
  if (wide.empty()) return std::string();
  const int length = static_cast<int>(wide.size());
  const int n = WideCharToMultiByte(CP_ACP, 0, wide.data(), length, nullptr, 0, nullptr, nullptr);
  if (n <= 0) return std::string();
  std::string text(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_ACP, 0, wide.data(), length, &text[0], n, nullptr, nullptr);
  return text;
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
