#include "PackList.h"

#include <cstdlib>
#include <map>

namespace quon::pack {

namespace {

// Case folding as Windows compares file names in the Western code page
// (Windows-1252): ASCII letters, the accented capitals 0xC0..0xDE (but not
// the multiplication sign 0xD7), and the few capitals in 0x80..0x9F.
std::string FoldCaseAsWindows(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    const auto u = static_cast<unsigned char>(c);
    if ((u >= 'A' && u <= 'Z') || (u >= 0xC0 && u <= 0xDE && u != 0xD7))
      c = static_cast<char>(u + 0x20);
    else if (u == 0x8A || u == 0x8C || u == 0x8E)
      c = static_cast<char>(u + 0x10);
    else if (u == 0x9F)
      c = static_cast<char>(0xFF);
  }
  return out;
}

bool IsControl(char c) {
  const auto u = static_cast<unsigned char>(c);
  return u < 0x20 || u == 0x7F;
}

// Device names that Windows will not create as files, with or without an
// extension.
bool IsReservedDeviceName(std::string_view name) {
  std::string base = FoldCaseAsWindows(name.substr(0, name.find('.')));
  while (!base.empty() && base.back() == ' ') base.pop_back();
  static const char* const kNames[] = {"con", "prn", "aux", "nul"};
  for (const char* n : kNames)
    if (base == n) return true;
  if (base.size() == 4 && (base.compare(0, 3, "com") == 0 || base.compare(0, 3, "lpt") == 0) && base[3] >= '1' &&
      base[3] <= '9')
    return true;
  return false;
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
