#include "PackList.h"

#include <glib.h>

#include <cstdlib>
#include <map>

namespace quon::pack {

namespace {

// The Unicode text of a stored name: UTF-8 when it is valid UTF-8, else
// bytes of the Western Windows code page (Windows-1252).
std::u32string Characters(std::string_view s) {
  std::u32string out;
  if (g_utf8_validate(s.data(), static_cast<gssize>(s.size()), nullptr)) {
    for (const char* p = s.data(); p < s.data() + s.size(); p = g_utf8_next_char(p))
      out += static_cast<char32_t>(g_utf8_get_char(p));
    return out;
  }
  // 0x80..0x9F of Windows-1252; the rest of the upper half is Latin-1.
  static const char16_t k80[32] = {0x20AC, 0x81,   0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                   0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x8D,   0x017D, 0x8F,
                                   0x90,   0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                   0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x9D,   0x017E, 0x0178};
  for (char c : s) {
    const auto u = static_cast<unsigned char>(c);
    out += u >= 0x80 && u < 0xA0 ? static_cast<char32_t>(k80[u - 0x80]) : static_cast<char32_t>(u);
  }
  return out;
}

// A name as Windows compares file names: every character in upper case
// (one character for one, as the file system's table maps them), so that
// "\xC3\x84.dll" (UTF-8) and "\xE4.dll" (Windows-1252) both match "\xC3\xA4.DLL".
std::string FoldCaseAsWindows(std::string_view s) {
  std::string out;
  for (char32_t c : Characters(s)) {
    char utf8[8];
    out.append(utf8, static_cast<size_t>(g_unichar_to_utf8(g_unichar_toupper(c), utf8)));
  }
  return out;
}

bool IsControl(char c) {
  const auto u = static_cast<unsigned char>(c);
  return u < 0x20 || u == 0x7F;
}

// Device names that Windows will not create as files, with or without an
// extension: CON, PRN, AUX, NUL, CONIN$, CONOUT$, COM and LPT with a digit
// 1..9 or a superscript one, two or three.
bool IsReservedDeviceName(std::string_view name) {
  std::string base = FoldCaseAsWindows(name.substr(0, name.find('.')));
  while (!base.empty() && base.back() == ' ') base.pop_back();
  for (const char* n : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"})
    if (base == n) return true;
  if (base.compare(0, 3, "COM") != 0 && base.compare(0, 3, "LPT") != 0) return false;
  const std::string digit = base.substr(3);
  return (digit.size() == 1 && digit[0] >= '1' && digit[0] <= '9') || digit == "\xC2\xB9" || digit == "\xC2\xB2" ||
         digit == "\xC2\xB3";
}

std::optional<std::string> CheckComponent(std::string_view c) {
  if (c.empty()) return std::string("has an empty path component");
  if (c == "." || c == "..") return std::string("must not contain '.' or '..' components");
  for (char ch : c) {
    if (IsControl(ch)) return std::string("contains a control character");
    if (ch == ':') return std::string("contains ':'");
    if (ch == '*' || ch == '?' || ch == '"' || ch == '<' || ch == '>' || ch == '|')
      return std::string("contains one of * ? \" < > |");
  }
  if (c.back() == '.' || c.back() == ' ') return std::string("has a component that ends in '.' or a blank");
  if (IsReservedDeviceName(c)) return std::string("uses a reserved device name");
  return std::nullopt;
}

}  // namespace

std::string PackSection::SectionName() const { return isModule ? "M" + std::to_string(module) : "MAIN"; }

std::optional<std::string> CheckEntryPath(std::string_view path) {
  if (path.empty()) return std::string("is empty");
  if (path[0] == '/' || path[0] == '\\') return std::string("must be relative (no leading separator)");
  if (path[0] == ' ' || path[0] == '\t' || path.back() == ' ' || path.back() == '\t')
    return std::string("must not begin or end with a blank");
  if (path[0] == '[') return std::string("must not begin with '[' (it would read back as a section header)");
  if (path.find('=') != std::string_view::npos) return std::string("must not contain '=' (it would read back as a key)");
  size_t start = 0;
  for (;;) {
    const size_t sep = path.find_first_of("/\\", start);
    const std::string_view component = path.substr(start, sep == std::string_view::npos ? std::string_view::npos : sep - start);
    if (auto problem = CheckComponent(component)) return problem;
    if (sep == std::string_view::npos) break;
    start = sep + 1;
  }
  return std::nullopt;
}

std::optional<std::string> CheckText(std::string_view text) {
  for (char c : text)
    if (IsControl(c)) return std::string("must stay on one line, without control characters");
  return std::nullopt;
}

std::optional<int32_t> ParseModuleNumber(std::string_view text) {
  std::string s(text);
  if (s.empty() || s.size() > 11) return std::nullopt;
  size_t i = (s[0] == '-') ? 1 : 0;
  if (i == s.size()) return std::nullopt;
  for (size_t j = i; j < s.size(); ++j)
    if (s[j] < '0' || s[j] > '9') return std::nullopt;
  const long long v = std::strtoll(s.c_str(), nullptr, 10);
  if (v < INT32_MIN || v > INT32_MAX) return std::nullopt;
  return static_cast<int32_t>(v);
}

std::optional<std::string> MakeEntry(std::string_view path, const std::string& baseDir, PackEntry& entry) {
  if (auto problem = CheckEntryPath(path)) return "file entry '" + std::string(path) + "' " + *problem;
  entry.path.clear();
  entry.source = baseDir.empty() ? std::string() : baseDir + "/";
  for (char c : path) {
    entry.path += (c == '/') ? '\\' : c;
    entry.source += (c == '\\') ? '/' : c;
  }
  entry.storedName = entry.path.substr(entry.path.rfind('\\') + 1);
  return std::nullopt;
}

std::vector<std::string> CheckSections(const std::vector<PackSection>& sections) {
  std::vector<std::string> problems;
  std::map<std::string, std::string> names;  // lower-case stored name -> entry path
  names[FoldCaseAsWindows(kListFileName)] = kListFileName;
  names[FoldCaseAsWindows(kReleaseFileName)] = kReleaseFileName;
  std::map<int32_t, bool> modules;
  size_t files = 0;
  for (const PackSection& s : sections) {
    if (s.isModule) {
      if (modules.count(s.module)) problems.push_back("module " + std::to_string(s.module) + " is given twice");
      modules[s.module] = true;
      if (s.entries.empty()) problems.push_back("module " + std::to_string(s.module) + " lists no file");
    }
    for (const PackEntry& e : s.entries) {
      ++files;
      const std::string key = FoldCaseAsWindows(e.storedName);
      auto it = names.find(key);
      if (it != names.end()) {
        problems.push_back("file entry '" + e.path + "' would be stored as '" + e.storedName +
                           "', which collides with '" + it->second + "'");
      } else {
        names[key] = e.path;
      }
    }
  }
  if (files == 0) problems.push_back("the update lists no file");
  return problems;
}

std::string BuildUpdateList(const std::vector<PackSection>& sections) {
  std::string text;
  for (const PackSection& s : sections) {
    if (!text.empty()) text += "\r\n";
    text += "[" + s.SectionName() + "]\r\n";
    if (!s.name.empty()) text += "NAME=" + s.name + "\r\n";
    if (!s.description.empty()) text += "DESCRIPTION=" + s.description + "\r\n";
    for (const PackEntry& e : s.entries) text += e.path + "\r\n";
  }
  return text;
}

}  // namespace quon::pack
