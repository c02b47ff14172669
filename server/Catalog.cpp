#include "Catalog.h"

#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>

namespace quon::server {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && (IsBlank(s.back()) || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

std::string Lower(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

// Decimal digits only, no sign, value up to max.
std::optional<uint64_t> ParseDecimal(std::string_view s, uint64_t max) {
  if (s.empty() || s.size() > 20) return std::nullopt;
  uint64_t value = 0;
  for (char c : s) {
    if (!IsDigit(c)) return std::nullopt;
    value = value * 10 + static_cast<uint64_t>(c - '0');
    if (value > max) return std::nullopt;
  }
  return value;
}

std::vector<std::string_view> SplitDots(std::string_view text) {
  std::vector<std::string_view> parts;
  size_t start = 0;
  for (;;) {
    size_t dot = text.find('.', start);
    parts.push_back(text.substr(start, dot == std::string_view::npos ? std::string_view::npos : dot - start));
    if (dot == std::string_view::npos) break;
    start = dot + 1;
  }
  return parts;
}

// Days from 1970-01-01 to the given civil date (proleptic Gregorian).
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

bool IsLeap(unsigned y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

unsigned DaysInMonth(unsigned y, unsigned m) {
  static const unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && IsLeap(y) ? 29 : kDays[m - 1];
}

std::optional<unsigned> FixedDigits(std::string_view s, size_t pos, size_t count) {
  if (pos + count > s.size()) return std::nullopt;
  unsigned v = 0;
  for (size_t i = pos; i < pos + count; ++i) {
    if (!IsDigit(s[i])) return std::nullopt;
    v = v * 10 + static_cast<unsigned>(s[i] - '0');
  }
  return v;
}

bool HasControl(std::string_view s) {
  for (char c : s) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7F) return true;
  }
  return false;
}

std::string RealPath(const std::string& path) {
  char* resolved = realpath(path.c_str(), nullptr);
  if (resolved == nullptr) return {};
  std::string out(resolved);
  free(resolved);
  return out;
}

}  // namespace

bool Version::operator==(const Version& other) const {
  for (int i = 0; i < 4; ++i)
    if (part[i] != other.part[i]) return false;
  return true;
}

std::optional<Version> ParseVersion(std::string_view text) {
  const auto parts = SplitDots(text);
  if (parts.size() != 4) return std::nullopt;
  Version v;
  for (int i = 0; i < 4; ++i) {
    if (parts[i].size() > 5) return std::nullopt;
    auto n = ParseDecimal(parts[i], 65535);
    if (!n) return std::nullopt;
    v.part[i] = static_cast<uint16_t>(*n);
  }
  return v;
}

std::string FormatVersion(const Version& v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%u.%u.%u.%u", v.part[0], v.part[1], v.part[2], v.part[3]);
  return buf;
}

bool VersionPattern::Matches(const Version& v) const {
  for (int i = 0; i < 4; ++i)
    if (part[i] >= 0 && part[i] != v.part[i]) return false;
  return true;
}

std::optional<VersionPattern> ParseVersionPattern(std::string_view text) {
  const auto parts = SplitDots(text);
  if (parts.size() != 4) return std::nullopt;
  VersionPattern p;
  for (int i = 0; i < 4; ++i) {
    if (parts[i] == "*") {
      p.part[i] = -1;
      continue;
    }
    if (parts[i].size() > 5) return std::nullopt;
    auto n = ParseDecimal(parts[i], 65535);
    if (!n) return std::nullopt;
    p.part[i] = static_cast<int32_t>(*n);
  }
  return p;
}

std::optional<std::string> OleDateText(std::string_view text, std::string* reason) {
  auto fail = [&](const char* why) -> std::optional<std::string> {
    if (reason) *reason = why;
    return std::nullopt;
  };
  // YYYY-MM-DD
  auto y = FixedDigits(text, 0, 4), m = FixedDigits(text, 5, 2), d = FixedDigits(text, 8, 2);
  if (!y || !m || !d || text[4] != '-' || text[7] != '-')
    return fail("expected a date YYYY-MM-DD, optionally followed by HH:MM or HH:MM:SS");
  if (*y < 1900) return fail("dates before the year 1900 are not supported");
  if (*m < 1 || *m > 12) return fail("the month must be 01 to 12");
  if (*d < 1 || *d > DaysInMonth(*y, *m)) return fail("that day does not exist in that month");
  unsigned hh = 0, mm = 0, ss = 0;
  if (text.size() > 10) {
    std::string_view rest = text.substr(10);
    if (rest[0] != ' ' && rest[0] != 'T') return fail("expected a blank or 'T' between date and time");
    rest.remove_prefix(1);
    while (!rest.empty() && rest[0] == ' ') rest.remove_prefix(1);
    auto h = FixedDigits(rest, 0, 2), mi = FixedDigits(rest, 3, 2);
    if (!h || !mi || rest[2] != ':') return fail("expected the time as HH:MM or HH:MM:SS");
    hh = *h;
    mm = *mi;
    if (rest.size() > 5) {
      auto s = FixedDigits(rest, 6, 2);
      if (rest[5] != ':' || !s || rest.size() != 8) return fail("expected the time as HH:MM or HH:MM:SS");
      ss = *s;
    }
    if (hh > 23 || mm > 59 || ss > 59) return fail("the time of day is out of range");
  }
  const int64_t days = DaysFromCivil(*y, *m, *d) - DaysFromCivil(1899, 12, 30);
  const unsigned seconds = hh * 3600 + mm * 60 + ss;
  if (seconds == 0) return std::to_string(days);
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.8f", static_cast<double>(days) + seconds / 86400.0);
  std::string out(buf);
  while (out.back() == '0') out.pop_back();
  if (out.back() == '.') out.pop_back();
  return out;
}

bool CatalogEntry::AppliesTo(const Version& installed) const {
  for (const auto& p : appliesTo)
    if (p.Matches(installed)) return true;
  return false;
}

const CatalogEntry* Catalog::Find(uint32_t id) const {
  for (const auto& e : m_entries)
    if (e.id == id) return &e;
  return nullptr;
}

std::optional<Catalog> Catalog::Load(const std::string& rootDir, std::vector<std::string>& errors) {
  const std::string path = rootDir + "/" + kCatalogFileName;
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    errors.push_back(path + ": cannot open the catalog: " + std::strerror(errno));
    return std::nullopt;
  }
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) {
    errors.push_back(path + ": cannot read the catalog");
    return std::nullopt;
  }
  return Parse(text.str(), path, rootDir, errors);
}

namespace {

enum Key { kPosted, kName, kDescription, kAppliesTo, kArchive, kBrings, kKeyCount };
const char* const kKeyNames[kKeyCount] = {"posted", "name", "description", "applies-to", "archive", "brings"};

struct Section {
  CatalogEntry entry;
  bool seen[kKeyCount] = {};
  bool valid = true;
};

}  // namespace

std::optional<Catalog> Catalog::Parse(std::string_view text, const std::string& fileName,
                                      const std::string& rootDir, std::vector<std::string>& errors) {
  const size_t errorsBefore = errors.size();
  auto error = [&](int line, const std::string& problem) {
    errors.push_back(fileName + ":" + std::to_string(line) + ": " + problem);
  };
  const std::string rootReal = RealPath(rootDir);
  if (rootReal.empty()) {
    errors.push_back(rootDir + ": the root directory cannot be resolved: " + std::strerror(errno));
    return std::nullopt;
  }

  Catalog catalog;
  std::map<uint32_t, int> headerLines;  // every update number seen, with its line
  std::optional<Section> current;
  auto finish = [&]() {
    if (!current) return;
    for (int k = 0; k < kKeyCount && current->entry.id != 0; ++k)
      if (!current->seen[k])
        error(current->entry.line, "update " + std::to_string(current->entry.id) + " has no '" + kKeyNames[k] + "'");
    if (current->valid) catalog.m_entries.push_back(std::move(current->entry));
    current.reset();
  };

  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  int lineNo = 0;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t nl = text.find('\n', pos);
    std::string_view raw = text.substr(pos, nl == std::string_view::npos ? std::string_view::npos : nl - pos);
    pos = nl == std::string_view::npos ? text.size() : nl + 1;
    ++lineNo;
    std::string_view line = Trim(raw);
    if (line.empty() || line[0] == '#') continue;

    if (line[0] == '[') {
      finish();
      if (line.back() != ']') {
        error(lineNo, "a section header must end with ']'");
        current.emplace();
        current->valid = false;
        current->entry.line = lineNo;
        continue;
      }
      std::string_view inner = Trim(line.substr(1, line.size() - 2));
      current.emplace();
      current->entry.line = lineNo;
      const size_t blank = inner.find_first_of(" \t");
      if (blank == std::string_view::npos || Lower(inner.substr(0, blank)) != "update") {
        error(lineNo, "expected a section header [update N]");
        current->valid = false;
        continue;
      }
      auto id = ParseDecimal(Trim(inner.substr(blank)), 0xFFFFFFFFu);
      if (!id || *id == 0) {
        error(lineNo, "the update number must be a decimal number from 1 to 4294967295");
        current->valid = false;
        continue;
      }
      current->entry.id = static_cast<uint32_t>(*id);
      const auto earlier = headerLines.find(current->entry.id);
      if (earlier != headerLines.end()) {
        error(lineNo, "update " + std::to_string(*id) + " is already listed on line " + std::to_string(earlier->second));
        current->valid = false;
      } else {
        headerLines[current->entry.id] = lineNo;
      }
      continue;
    }

    const size_t eq = line.find('=');
    if (eq == std::string_view::npos) {
      error(lineNo, "expected 'key = value' or a section header [update N]");
      continue;
    }
    const std::string key = Lower(Trim(line.substr(0, eq)));
    const std::string_view value = Trim(line.substr(eq + 1));
    if (!current) {
      error(lineNo, "'" + key + "' stands before the first section header [update N]");
      continue;
    }
    int k = 0;
    while (k < kKeyCount && key != kKeyNames[k]) ++k;
    if (k == kKeyCount) {
      error(lineNo, "unknown key '" + key + "'");
      current->valid = false;
      continue;
    }
    if (current->seen[k]) {
      error(lineNo, "'" + key + "' is given twice for this update");
      current->valid = false;
      continue;
    }
    current->seen[k] = true;
    CatalogEntry& e = current->entry;
    auto bad = [&](const std::string& problem) {
      error(lineNo, problem);
      current->valid = false;
    };

    switch (k) {
      case kPosted: {
        std::string reason;
        auto ole = OleDateText(value, &reason);
        if (!ole) {
          bad("bad posting date '" + std::string(value) + "': " + reason);
          break;
        }
        e.posted = std::string(value);
        e.oleDate = *ole;
        break;
      }
      case kName:
      case kDescription: {
        if (value.empty()) {
          bad("'" + key + "' must not be empty");
        } else if (value.find(';') != std::string_view::npos) {
          bad("'" + key + "' must not contain ';' (it separates the cells of the update list)");
        } else if (HasControl(value)) {
          bad("'" + key + "' must not contain control characters");
        } else {
          (k == kName ? e.name : e.description) = std::string(value);
        }
        break;
      }
      case kAppliesTo: {
        e.appliesToText = std::string(value);
        size_t p = 0;
        bool ok = true;
        while (p < value.size()) {
          size_t end = value.find_first_of(", \t", p);
          if (end == std::string_view::npos) end = value.size();
          std::string_view item = value.substr(p, end - p);
          p = end + 1;
          if (item.empty()) continue;
          auto pattern = ParseVersionPattern(item);
          if (!pattern) {
            bad("bad version '" + std::string(item) +
                "' in applies-to: expected four numbers 0..65535 or '*' joined by dots");
            ok = false;
            break;
          }
          e.appliesTo.push_back(*pattern);
        }
        if (ok && e.appliesTo.empty()) bad("'applies-to' lists no version");
        break;
      }
      case kBrings: {
        auto v = ParseVersion(value);
        if (!v) {
          bad("bad version '" + std::string(value) + "' in brings: expected four numbers 0..65535 joined by dots");
          break;
        }
        e.brings = *v;
        break;
      }
      case kArchive: {
        const std::string rel(value);
        e.archive = rel;
        if (rel.empty()) {
          bad("'archive' must not be empty");
          break;
        }
        if (rel[0] == '/' || rel.find('\\') != std::string::npos || HasControl(rel)) {
          bad("archive '" + rel + "' must be a path relative to the root directory, with '/' as separator");
          break;
        }
        bool dotdot = false;
        for (size_t s = 0; s <= rel.size();) {
          size_t end = rel.find('/', s);
          if (end == std::string::npos) end = rel.size();
          if (rel.compare(s, end - s, "..") == 0 && end - s == 2) dotdot = true;
          s = end + 1;
        }
        if (dotdot) {
          bad("archive '" + rel + "' must not contain '..'");
          break;
        }
        const std::string resolved = RealPath(rootReal + "/" + rel);
        if (resolved.empty()) {
          bad("archive '" + rel + "' cannot be found: " + std::strerror(errno));
          break;
        }
        if (resolved.compare(0, rootReal.size() + 1, rootReal + "/") != 0) {
          bad("archive '" + rel + "' lies outside the root directory");
          break;
        }
        struct stat st {};
        if (stat(resolved.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
          bad("archive '" + rel + "' is not a regular file");
          break;
        }
        if (static_cast<uint64_t>(st.st_size) > kMaxArchiveSize) {
          bad("archive '" + rel + "' is larger than 2147483647 bytes");
          break;
        }
        e.archivePath = resolved;
        e.archiveSize = static_cast<uint64_t>(st.st_size);
        char magic[4] = {};
        std::ifstream archive(resolved, std::ios::binary);
        if (!archive.read(magic, 4) || std::string_view(magic, 4) != "MSCF")
          catalog.m_warnings.push_back(fileName + ":" + std::to_string(lineNo) + ": archive '" + rel +
                                       "' does not look like a cabinet archive; the updater will not unpack it");
        break;
      }
      default:
        break;
    }
  }
  finish();
  if (errors.size() != errorsBefore) return std::nullopt;
  return catalog;
}

}  // namespace quon::server
