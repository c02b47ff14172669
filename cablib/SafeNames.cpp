#include "SafeNames.h"

#include <chrono>
#include <cstdio>
#include <unordered_map>

namespace cablib {
namespace {

// Decodes one UTF-8 sequence at s[i]; returns its length, or 0 when the bytes
// are not well-formed UTF-8 (overlong forms, surrogates, beyond U+10FFFF).
std::size_t DecodeUtf8(std::string_view s, std::size_t i, char32_t* out) {
  const auto b0 = static_cast<unsigned char>(s[i]);
  if (b0 < 0x80) {
    *out = b0;
    return 1;
  }
  std::size_t len;
  char32_t cp, min;
  if ((b0 & 0xE0) == 0xC0) {
    len = 2, cp = b0 & 0x1F, min = 0x80;
  } else if ((b0 & 0xF0) == 0xE0) {
    len = 3, cp = b0 & 0x0F, min = 0x800;
  } else if ((b0 & 0xF8) == 0xF0) {
    len = 4, cp = b0 & 0x07, min = 0x10000;
  } else {
    return 0;
  }
  if (i + len > s.size()) return 0;
  for (std::size_t k = 1; k < len; ++k) {
    const auto b = static_cast<unsigned char>(s[i + k]);
    if ((b & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (b & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  *out = cp;
  return len;
}

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

char32_t FoldCodePoint(char32_t c) {
  if (c >= 'A' && c <= 'Z') return c + 0x20;
  if (c < 0xC0) return c;
  if (c <= 0xDE) return c == 0xD7 ? c : c + 0x20;                       // Latin-1
  if (c >= 0x100 && c <= 0x137) return c | 1;                          // Latin Ext-A pairs
  if (c >= 0x139 && c <= 0x148) return (c & 1) ? c + 1 : c;
  if (c >= 0x14A && c <= 0x177) return c | 1;
  if (c == 0x178) return 0xFF;
  if (c >= 0x179 && c <= 0x17E) return (c & 1) ? c + 1 : c;
  if (c >= 0x391 && c <= 0x3A9 && c != 0x3A2) return c + 0x20;         // Greek
  if (c >= 0x410 && c <= 0x42F) return c + 0x20;                        // Cyrillic
  if (c >= 0x400 && c <= 0x40F) return c + 0x50;
  return c;
}

bool IsDeviceName(std::string_view name) {
  // The device part is what precedes the first dot, blanks before it ignored.
  std::string base(name.substr(0, name.find('.')));
  while (!base.empty() && base.back() == ' ') base.pop_back();
  for (char& ch : base) {
    if (ch >= 'a' && ch <= 'z') ch = static_cast<char>(ch - 0x20);
  }
  if (base == "CON" || base == "PRN" || base == "AUX" || base == "NUL" || base == "CONIN$" ||
      base == "CONOUT$") {
    return true;
  }
  if (base.size() == 4 && (base.compare(0, 3, "COM") == 0 || base.compare(0, 3, "LPT") == 0) &&
      base[3] >= '1' && base[3] <= '9') {
    return true;
  }
  return false;
}

}  // namespace

bool IsSafeFileName(std::string_view name) {
  if (name.empty() || name.size() > kMaxNameBytes) return false;
  if (name == "." || name == "..") return false;
  for (std::size_t i = 0; i < name.size();) {
    char32_t cp;
    const std::size_t len = DecodeUtf8(name, i, &cp);
    if (len == 0) return false;
    if (cp < 0x20 || (cp >= 0x7F && cp <= 0x9F)) return false;
    switch (cp) {
      case '/': case '\\': case ':': case '*': case '?': case '"': case '<': case '>': case '|':
        return false;
      default:
        break;
    }
    i += len;
  }
  if (name.back() == '.' || name.back() == ' ') return false;
  return !IsDeviceName(name);
}

std::string FoldName(std::string_view name) {
  std::string out;
  out.reserve(name.size());
  for (std::size_t i = 0; i < name.size();) {
    char32_t cp;
    const std::size_t len = DecodeUtf8(name, i, &cp);
    if (len == 0) {
      out += name[i++];
      continue;
    }
    AppendUtf8(out, FoldCodePoint(cp));
    i += len;
  }
  return out;
}

std::string LastComponent(std::string_view storedName) {
  const std::size_t sep = storedName.find_last_of("\\/");
  return std::string(sep == std::string_view::npos ? storedName : storedName.substr(sep + 1));
}

ListingProblem CheckListing(std::vector<ArchiveEntry>* entries, std::uint64_t maxTotalBytes,
                            std::uint64_t* writtenTotal) {
  if (writtenTotal) *writtenTotal = 0;
  if (entries->empty()) return ListingProblem::Empty;
  std::uint64_t sum = 0;
  // Folded name -> the latest entry holding it so far.
  std::unordered_map<std::string, std::size_t> latest;
  latest.reserve(entries->size());
  for (std::size_t i = 0; i < entries->size(); ++i) {
    ArchiveEntry& e = (*entries)[i];
    if (!IsSafeFileName(e.name)) return ListingProblem::UnsafeName;
    if (e.size > maxTotalBytes || sum + e.size > maxTotalBytes) return ListingProblem::TooLarge;
    sum += e.size;
    e.superseded = false;
    const auto [it, fresh] = latest.try_emplace(FoldName(e.name), i);
    if (!fresh) {
      (*entries)[it->second].superseded = true;
      it->second = i;
    }
  }
  std::uint64_t written = 0;
  for (const ArchiveEntry& e : *entries) {
    if (!e.superseded) written += e.size;
  }
  if (writtenTotal) *writtenTotal = written;
  return ListingProblem::None;
}

TempNamer::TempNamer(const std::vector<ArchiveEntry>& entries, unsigned long processId)
    : processId_(processId),
      salt_(static_cast<std::uint64_t>(
          std::chrono::steady_clock::now().time_since_epoch().count())) {
  taken_.reserve(entries.size());
  for (const ArchiveEntry& e : entries) taken_.insert(FoldName(e.name));
}

std::string TempNamer::Next() {
  for (;;) {
    char buf[96];
    std::snprintf(buf, sizeof buf, ".decab-%lx-%llx-%lu.tmp", processId_,
                  static_cast<unsigned long long>(salt_ & 0xFFFFFFFFFFull), counter_++);
    if (taken_.count(FoldName(buf)) == 0) return buf;
  }
}

}  // namespace cablib
