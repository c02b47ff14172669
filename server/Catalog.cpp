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

#include "base/CText.h"

namespace quon::server {

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

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

std::shared_ptr<ArchiveFile> Catalog::OpenArchive(const CatalogEntry& entry) const {
  return m_root ? m_root->OpenArchive(entry.archiveRelative) : nullptr;
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

// The first kRequiredKeys keys must be given in every section.
enum Key { kPosted, kName, kDescription, kAppliesTo, kArchive, kBrings, kRollout, kPaused, kKeyCount };
constexpr int kRequiredKeys = kRollout;
const char* const kKeyNames[kKeyCount] = {"posted",  "name",   "description", "applies-to",
                                          "archive", "brings", "rollout",     "paused"};

struct Section {
  CatalogEntry entry;
  bool seen[kKeyCount] = {};
  bool valid = true;
};

// One pass over the catalog text: sections are collected as they are read,
// and every problem is reported with its line.
class CatalogParser {
 public:
  CatalogParser(const std::string& fileName, std::string rootReal, std::vector<std::string>& errors)
      : m_fileName(fileName), m_rootReal(std::move(rootReal)), m_errors(errors) {}

  void Run(std::string_view text);

  std::vector<CatalogEntry> entries;
  std::vector<std::string> warnings;

 private:
  void Error(int line, const std::string& problem) {
    m_errors.push_back(m_fileName + ":" + std::to_string(line) + ": " + problem);
  }
  // A problem that makes the current section unusable.
  void Bad(const std::string& problem) {
    Error(m_lineNo, problem);
    m_current->valid = false;
  }
  void FinishSection();
  void StartSection(std::string_view line);
  void KeyLine(std::string_view line);
  void SetPosted(std::string_view value);
  void SetText(const std::string& key, std::string& field, std::string_view value);
  void SetAppliesTo(std::string_view value);
  void SetBrings(std::string_view value);
  void SetArchive(std::string_view value);
  void SetRollout(std::string_view value);
  void SetPaused(std::string_view value);

  const std::string& m_fileName;
  const std::string m_rootReal;
  std::vector<std::string>& m_errors;
  std::map<uint32_t, int> m_headerLines;  // every update number seen, with its line
  std::optional<Section> m_current;
  int m_lineNo = 0;
};

void CatalogParser::Run(std::string_view text) {
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  for (std::string_view rest = text, raw; NextLine(rest, raw);) {
    ++m_lineNo;
    std::string_view line = TrimBlanks(raw);
    if (line.empty() || line[0] == '#') continue;
    if (line[0] == '[') {
      StartSection(line);
    } else {
      KeyLine(line);
    }
  }
  FinishSection();
}

void CatalogParser::FinishSection() {
  if (!m_current) return;
  for (int k = 0; k < kRequiredKeys && m_current->entry.id != 0; ++k)
    if (!m_current->seen[k])
      Error(m_current->entry.line, "update " + std::to_string(m_current->entry.id) + " has no '" + kKeyNames[k] + "'");
  if (m_current->valid) entries.push_back(std::move(m_current->entry));
  m_current.reset();
}

void CatalogParser::StartSection(std::string_view line) {
  FinishSection();
  m_current.emplace();
  m_current->entry.line = m_lineNo;
  if (line.back() != ']') {
    Bad("a section header must end with ']'");
    return;
  }
  std::string_view inner = TrimBlanks(line.substr(1, line.size() - 2));
  const size_t blank = inner.find_first_of(" \t");
  if (blank == std::string_view::npos || AsciiLower(inner.substr(0, blank)) != "update") {
    Bad("expected a section header [update N]");
    return;
  }
  auto id = ParseDecimal(TrimBlanks(inner.substr(blank)), 0xFFFFFFFFu);
  if (!id || *id == 0) {
    Bad("the update number must be a decimal number from 1 to 4294967295");
    return;
  }
  m_current->entry.id = static_cast<uint32_t>(*id);
  const auto earlier = m_headerLines.find(m_current->entry.id);
  if (earlier != m_headerLines.end()) {
    Bad("update " + std::to_string(*id) + " is already listed on line " + std::to_string(earlier->second));
  } else {
    m_headerLines[m_current->entry.id] = m_lineNo;
  }
}

void CatalogParser::KeyLine(std::string_view line) {
  const size_t eq = line.find('=');
  if (eq == std::string_view::npos) {
    Error(m_lineNo, "expected 'key = value' or a section header [update N]");
    return;
  }
  const std::string key = AsciiLower(TrimBlanks(line.substr(0, eq)));
  const std::string_view value = TrimBlanks(line.substr(eq + 1));
  if (!m_current) {
    Error(m_lineNo, "'" + key + "' stands before the first section header [update N]");
    return;
  }
  int k = 0;
  while (k < kKeyCount && key != kKeyNames[k]) ++k;
  if (k == kKeyCount) {
    Bad("unknown key '" + key + "'");
    return;
  }
  if (m_current->seen[k]) {
    Bad("'" + key + "' is given twice for this update");
    return;
  }
  m_current->seen[k] = true;
  CatalogEntry& e = m_current->entry;
  switch (k) {
    case kPosted:
      SetPosted(value);
      break;
    case kName:
      SetText(key, e.name, value);
      break;
    case kDescription:
      SetText(key, e.description, value);
      break;
    case kAppliesTo:
      SetAppliesTo(value);
      break;
    case kBrings:
      SetBrings(value);
      break;
    case kArchive:
      SetArchive(value);
      break;
    case kRollout:
      SetRollout(value);
      break;
    case kPaused:
      SetPaused(value);
      break;
    default:
      break;
  }
}

void CatalogParser::SetPosted(std::string_view value) {
  std::string reason;
  auto ole = OleDateText(value, &reason);
  if (!ole) {
    Bad("bad posting date '" + std::string(value) + "': " + reason);
    return;
  }
  m_current->entry.posted = std::string(value);
  m_current->entry.oleDate = *ole;
}

void CatalogParser::SetText(const std::string& key, std::string& field, std::string_view value) {
  if (value.empty()) {
    Bad("'" + key + "' must not be empty");
  } else if (value.find(';') != std::string_view::npos) {
    Bad("'" + key + "' must not contain ';' (it separates the cells of the update list)");
  } else if (HasControl(value)) {
    Bad("'" + key + "' must not contain control characters");
  } else {
    field = std::string(value);
  }
}

void CatalogParser::SetAppliesTo(std::string_view value) {
  CatalogEntry& e = m_current->entry;
  e.appliesToText = std::string(value);
  size_t p = 0;
  while (p < value.size()) {
    size_t end = value.find_first_of(", \t", p);
    if (end == std::string_view::npos) end = value.size();
    std::string_view item = value.substr(p, end - p);
    p = end + 1;
    if (item.empty()) continue;
    auto pattern = ParseVersionPattern(item);
    if (!pattern) {
      Bad("bad version '" + std::string(item) +
          "' in applies-to: expected four numbers 0..65535 or '*' joined by dots");
      return;
    }
    e.appliesTo.push_back(*pattern);
  }
  if (e.appliesTo.empty()) Bad("'applies-to' lists no version");
}

void CatalogParser::SetBrings(std::string_view value) {
  auto v = ParseVersion(value);
  if (!v) {
    Bad("bad version '" + std::string(value) + "' in brings: expected four numbers 0..65535 joined by dots");
    return;
  }
  m_current->entry.brings = *v;
}

void CatalogParser::SetArchive(std::string_view value) {
  CatalogEntry& e = m_current->entry;
  const std::string rel(value);
  e.archive = rel;
  if (rel.empty()) return Bad("'archive' must not be empty");
  if (rel[0] == '/' || rel.find('\\') != std::string::npos || HasControl(rel))
    return Bad("archive '" + rel + "' must be a path relative to the root directory, with '/' as separator");
  for (size_t s = 0; s <= rel.size();) {
    size_t end = rel.find('/', s);
    if (end == std::string::npos) end = rel.size();
    if (rel.compare(s, end - s, "..") == 0 && end - s == 2) return Bad("archive '" + rel + "' must not contain '..'");
    s = end + 1;
  }
  const std::string resolved = RealPath(m_rootReal + "/" + rel);
  if (resolved.empty()) return Bad("archive '" + rel + "' cannot be found: " + std::strerror(errno));
  if (resolved.compare(0, m_rootReal.size() + 1, m_rootReal + "/") != 0)
    return Bad("archive '" + rel + "' lies outside the root directory");
  struct stat st {};
  if (stat(resolved.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
    return Bad("archive '" + rel + "' is not a regular file");
  if (static_cast<uint64_t>(st.st_size) > kMaxArchiveSize)
    return Bad("archive '" + rel + "' is larger than 2147483647 bytes");
  e.archivePath = resolved;
  e.archiveRelative = resolved.substr(m_rootReal.size() + 1);
  e.archiveSize = static_cast<uint64_t>(st.st_size);
  char magic[4] = {};
  std::ifstream archive(resolved, std::ios::binary);
  if (!archive.read(magic, 4) || std::string_view(magic, 4) != "MSCF")
    warnings.push_back(m_fileName + ":" + std::to_string(m_lineNo) + ": archive '" + rel +
                       "' does not look like a cabinet archive; the updater will not unpack it");
}

void CatalogParser::SetRollout(std::string_view value) {
  // "P%" with P from 0 to 100 and at most two decimals; the sign may be left
  // out.
  std::string_view number = value;
  if (!number.empty() && number.back() == '%') number = TrimBlanks(number.substr(0, number.size() - 1));
  const size_t dot = number.find('.');
  const std::string_view whole = number.substr(0, dot);
  const std::string_view fraction = dot == std::string_view::npos ? std::string_view() : number.substr(dot + 1);
  auto w = ParseDecimal(whole, 100);
  auto f = fraction.empty() ? std::optional<uint64_t>(0) : ParseDecimal(fraction, 99);
  if (!w || !f || fraction.size() > 2 || (dot != std::string_view::npos && fraction.empty()) ||
      *w * 100 + *f * (fraction.size() == 1 ? 10 : 1) > CatalogEntry::kFullRollout)
    return Bad("bad rollout '" + std::string(value) + "': expected a share from 0% to 100%, such as 5% or 12.5%");
  m_current->entry.rolloutBasisPoints = static_cast<uint32_t>(*w * 100 + *f * (fraction.size() == 1 ? 10 : 1));
}

void CatalogParser::SetPaused(std::string_view value) {
  const std::string v = AsciiLower(value);
  if (v == "yes") {
    m_current->entry.paused = true;
  } else if (v != "no") {
    Bad("bad value '" + std::string(value) + "' for paused: expected yes or no");
  }
}

}  // namespace

std::optional<Catalog> Catalog::Parse(std::string_view text, const std::string& fileName, const std::string& rootDir,
                                      std::vector<std::string>& errors) {
  const size_t errorsBefore = errors.size();
  std::string rootReal = RealPath(rootDir);
  if (rootReal.empty()) {
    errors.push_back(rootDir + ": the root directory cannot be resolved: " + std::strerror(errno));
    return std::nullopt;
  }
  auto root = ArchiveRoot::Open(rootReal);
  if (!root) {
    errors.push_back(rootDir + ": the root directory cannot be opened: " + std::strerror(errno));
    return std::nullopt;
  }
  CatalogParser parser(fileName, std::move(rootReal), errors);
  parser.Run(text);
  if (errors.size() != errorsBefore) return std::nullopt;
  Catalog catalog;
  catalog.m_root = std::move(root);
  catalog.m_entries = std::move(parser.entries);
  catalog.m_warnings = std::move(parser.warnings);
  return catalog;
}

}  // namespace quon::server
