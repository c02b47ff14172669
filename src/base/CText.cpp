#include "base/CText.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <system_error>

#include "base/FsPath.h"

namespace quon {

bool IsCSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Skips white space and a sign; returns the position of the first digit
// candidate and whether the number is negative.
size_t SkipSpaceAndSign(std::string_view text, bool& negative) {
  size_t i = 0;
  while (i < text.size() && IsCSpace(text[i])) ++i;
  negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  return i;
}

// Decimal magnitude, saturating at `limit`; sets overflow when it did.
uint64_t ReadMagnitude(std::string_view text, size_t i, uint64_t limit, bool& overflow) {
  uint64_t value = 0;
  overflow = false;
  for (; i < text.size() && IsDigit(text[i]); ++i) {
    if (!overflow) {
      value = value * 10 + static_cast<uint64_t>(text[i] - '0');
      if (value > limit) overflow = true;
    }
  }
  return overflow ? limit + 1 : value;
}

bool StartsWithNoCase(std::string_view text, size_t at, std::string_view word) {
  if (text.size() - at < word.size()) return false;
  for (size_t k = 0; k < word.size(); ++k) {
    char c = text[at + k];
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (c != word[k]) return false;
  }
  return true;
}

}  // namespace

int32_t CAtoi(std::string_view text) {
  bool negative = false;
  size_t i = SkipSpaceAndSign(text, negative);
  bool overflow = false;
  const uint64_t limit = negative ? uint64_t{2147483648u} : uint64_t{2147483647u};
  uint64_t magnitude = ReadMagnitude(text, i, limit, overflow);
  if (overflow) magnitude = limit;
  return negative ? static_cast<int32_t>(-static_cast<int64_t>(magnitude)) : static_cast<int32_t>(magnitude);
}

uint32_t CStrtoul(std::string_view text) {
  bool negative = false;
  size_t i = SkipSpaceAndSign(text, negative);
  bool overflow = false;
  uint64_t magnitude = ReadMagnitude(text, i, 0xFFFFFFFFu, overflow);
  if (overflow) return 0xFFFFFFFFu;
  uint32_t value = static_cast<uint32_t>(magnitude);
  return negative ? static_cast<uint32_t>(0u - value) : value;
}

double CAtof(std::string_view text) {
  bool negative = false;
  size_t i = SkipSpaceAndSign(text, negative);
  double value = 0.0;
  // Decimal only: "0x9600" reads as 0 (the digits stop at the x), and
  // "inf" or "nan" are no number at all.
  if (i < text.size() && (IsDigit(text[i]) || text[i] == '.')) {
    const char* first = text.data() + i;
    auto result = std::from_chars(first, text.data() + text.size(), value, std::chars_format::general);
    if (result.ec == std::errc::result_out_of_range) {
      // Too large gives HUGE_VAL, too small gives 0, as strtod does. Tell
      // them apart by the exponent's sign.
      std::string_view rest = text.substr(i);
      size_t e = rest.find_first_of("eE");
      bool tiny = e != std::string_view::npos && e + 1 < rest.size() && rest[e + 1] == '-';
      value = tiny ? 0.0 : std::numeric_limits<double>::infinity();
    } else if (result.ec != std::errc()) {
      value = 0.0;
    }
  }
  return negative ? -value : value;
}

std::string AsciiUpper(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return out;
}

std::string AsciiLower(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

std::string_view TrimLeft(std::string_view text, std::string_view chars) {
  const size_t first = text.find_first_not_of(chars);
  return text.substr(first == std::string_view::npos ? text.size() : first);
}

std::string_view TrimRight(std::string_view text, std::string_view chars) {
  const size_t last = text.find_last_not_of(chars);
  return text.substr(0, last == std::string_view::npos ? 0 : last + 1);
}

std::string_view Trim(std::string_view text, std::string_view chars) { return TrimRight(TrimLeft(text, chars), chars); }

std::string_view TrimBlanks(std::string_view text) { return TrimRight(TrimLeft(text, " \t"), " \t\r"); }

bool NextLine(std::string_view& rest, std::string_view& line) {
  if (rest.empty()) return false;
  const size_t end = rest.find('\n');
  line = rest.substr(0, end);
  rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
  return true;
}

bool PrefixEqualsNoCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  return StartsWithNoCase(AsciiUpper(text), 0, AsciiUpper(prefix));
}

size_t FindLastSeparator(std::string_view path, std::string_view separators) {
  return path.find_last_of(separators);
}

bool EndsWithSeparator(std::string_view path) {
  // A last byte 0x5C may be the second byte of a double-byte character.
  size_t last = std::string_view::npos;
  for (size_t i = FindPathSeparator(path); i != std::string_view::npos; i = FindPathSeparator(path, i + 1)) last = i;
  return !path.empty() && last == path.size() - 1;
}

std::string WithTrailingSeparator(std::string path, char separator) {
  if (!EndsWithSeparator(path)) path += separator;
  return path;
}

std::string_view MidPiece(std::string_view text, long long start, long long length) {
  if (start < 0) start = 0;
  if (length <= 0 || start >= static_cast<long long>(text.size())) return {};
  return text.substr(static_cast<size_t>(start), static_cast<size_t>(length));
}

std::string_view MidPiece(std::string_view text, long long start) {
  if (start < 0) start = 0;
  if (start >= static_cast<long long>(text.size())) return {};
  return text.substr(static_cast<size_t>(start));
}

}  // namespace quon
