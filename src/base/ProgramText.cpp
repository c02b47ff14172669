#include "base/ProgramText.h"

namespace quon {

namespace {

// The bytes 0x80..0x9F of Windows-1252; the five undefined ones keep their
// own value, which is a C1 control.
constexpr char16_t kWindows1252High[32] = {0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                           0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
                                           0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                           0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

bool IsContinuation(unsigned char c) { return (c & 0xC0) == 0x80; }

// The length of the well-formed UTF-8 sequence at `at`, or 0.
size_t Utf8SequenceLength(std::string_view text, size_t at) {
  const auto c = static_cast<unsigned char>(text[at]);
  if (c < 0x80) return 1;
  size_t length = 0;
  unsigned char low = 0x80, high = 0xBF;  // the range of the second byte
  if (c >= 0xC2 && c <= 0xDF) {
    length = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    length = 3;
    if (c == 0xE0) low = 0xA0;   // overlong below U+0800
    if (c == 0xED) high = 0x9F;  // surrogates
  } else if (c >= 0xF0 && c <= 0xF4) {
    length = 4;
    if (c == 0xF0) low = 0x90;   // overlong below U+10000
    if (c == 0xF4) high = 0x8F;  // beyond U+10FFFF
  } else {
    return 0;
  }
  if (text.size() - at < length) return 0;
  const auto second = static_cast<unsigned char>(text[at + 1]);
  if (second < low || second > high) return 0;
  for (size_t k = 2; k < length; ++k) {
    if (!IsContinuation(static_cast<unsigned char>(text[at + k]))) return 0;
  }
  return length;
}

}  // namespace

bool IsStrictUtf8(std::string_view text) {
  for (size_t i = 0; i < text.size();) {
    const size_t n = Utf8SequenceLength(text, i);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

char32_t Windows1252ToUnicode(unsigned char byte) {
  if (byte >= 0x80 && byte <= 0x9F) return kWindows1252High[byte - 0x80];
  return byte;
}

bool IsUnsafeForTerminal(char32_t c) {
  if (c < 0x20) return c != '\t' && c != '\n';
  if (c >= 0x7F && c <= 0x9F) return true;
  return c == 0x061C || c == 0x200E || c == 0x200F || (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069) ||
         c == 0x2028 || c == 0x2029;
}

size_t Utf8CharacterLength(std::string_view text, size_t at) {
  const size_t n = Utf8SequenceLength(text, at);
  return n == 0 ? 1 : n;
}

std::string SafeUtf8Text(std::string_view text) {
  const bool utf8 = IsStrictUtf8(text);
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    const size_t n = utf8 ? Utf8SequenceLength(text, i) : 1;
    char32_t c = 0;
    if (!utf8) {
      c = Windows1252ToUnicode(static_cast<unsigned char>(text[i]));
    } else {
      const auto lead = static_cast<unsigned char>(text[i]);
      c = n == 1 ? lead : lead & (0x7F >> n);
      for (size_t k = 1; k < n; ++k) c = c << 6 | (static_cast<unsigned char>(text[i + k]) & 0x3F);
    }
    if (IsUnsafeForTerminal(c)) {
      out += kReplacementChar;
    } else if (utf8) {
      out.append(text.substr(i, n));
    } else if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | c >> 6);
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xE0 | c >> 12);
      out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
    i += n;
  }
  return out;
}

}  // namespace quon
