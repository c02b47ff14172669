#include "net/PayloadCodec.h"

#include <array>
#include <cstring>

namespace quon {
namespace {

// The generator state of the calling thread. A thread that never seeds it
// starts where the C library's does, at 1.
thread_local uint32_t t_randState = 1;

constexpr uint32_t NextState(uint32_t state) { return state * 214013u + 2531011u; }
constexpr int RandValue(uint32_t state) { return static_cast<int>((state >> 16) & 0x7FFF); }

// Letters and digits are the only bytes that travel unescaped; bytes
// 0x80..0xFF never count, whatever the locale.
constexpr bool IsAlnum(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}

constexpr char Symbol62(int value) {
  return static_cast<char>(value < 26 ? value + 65 : value < 52 ? value + 71 : value - 4);
}

// 62-symbol value of a character: letters as themselves, any other
// character (digits included) as character + 4.
constexpr int Value62(char ch) {
  const int c = static_cast<signed char>(ch);
  if (c >= 'A' && c <= 'Z') return c - 65;
  if (c >= 'a' && c <= 'z') return c - 71;
  return c + 4;
}

constexpr char Symbol65(int value) {
  if (value >= 0 && value <= 61) return Symbol62(value);
  if (value == 62) return '%';
  if (value == 64) return '=';
  return '&';
}

constexpr int Value65(char c) {
  if (IsAlnum(static_cast<unsigned char>(c))) return Value62(c);
  if (c == '%') return 62;
  if (c == '=') return 64;
  return 63;
}

// The lenient hex digit of PercentDecode: anything that is not A-F/a-f
// counts as character - '0', meaningful or not.
constexpr int HexDigitValue(char ch) {
  const int c = static_cast<signed char>(ch);
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return c - 48;
}

struct Tables {
  std::array<bool, 256> alnum{};
  std::array<int8_t, 256> value62{};  // only meaningful for alnum bytes
  std::array<int8_t, 256> value65{};
  std::array<char, 62> symbol62{};
  std::array<char, 65> symbol65{};
  constexpr Tables() {
    for (int c = 0; c < 256; ++c) {
      alnum[c] = IsAlnum(static_cast<unsigned char>(c));
      value62[c] = static_cast<int8_t>(alnum[c] ? Value62(static_cast<char>(c)) : 0);
      value65[c] = static_cast<int8_t>(Value65(static_cast<char>(c)));
    }
    for (int v = 0; v < 62; ++v) symbol62[v] = Symbol62(v);
    for (int v = 0; v < 65; ++v) symbol65[v] = Symbol65(v);
  }
};
constexpr Tables kTables;

constexpr char kHexUpper[] = "0123456789ABCDEF";

}  // namespace

void CrtSeed(uint32_t seed) { t_randState = seed; }

int CrtRand() {
  t_randState = NextState(t_randState);
  return RandValue(t_randState);
}

std::string PercentEncode(std::string_view text) {
  std::string out(text.size() * 3, '\0');
  char* o = out.data();
  for (unsigned char c : text) {
    if (kTables.alnum[c]) {
      *o++ = static_cast<char>(c);
    } else {
      o[0] = '%';
      o[1] = kHexUpper[c >> 4];
      o[2] = kHexUpper[c & 15];
      o += 3;
    }
  }
  out.resize(static_cast<size_t>(o - out.data()));
  return out;
}

size_t PercentDecode(char* text, size_t length) {
  size_t i = 0;
  size_t j = 0;
  while (j < length) {
    // A '%' needs two characters after it; at the very end of the text it
    // stands for itself rather than reading past the end.
    if (text[j] == '%' && length - j >= 3) {
      const int value = 16 * HexDigitValue(text[j + 1]) + HexDigitValue(text[j + 2]);
      text[i++] = static_cast<char>(value & 0xFF);
      j += 3;
    } else {
      text[i++] = text[j++];
    }
  }
  return i;
}

std::string PercentDecode(std::string_view text) {
  std::string out(text);
  out.resize(PercentDecode(out.data(), out.size()));
  return out;
}

std::string ScrambleText(std::string_view text, std::string_view key) {
  const std::string escaped = PercentEncode(text);
  if (escaped.empty() || key.empty()) return {};
  std::string out(escaped.size() * 5, '\0');
  char* o = out.data();
  uint32_t state = t_randState;
  auto draw = [&state] {
    state = NextState(state);
    return RandValue(state);
  };
  size_t k = 0;
  for (char c : escaped) {
    // Salt: 1 to 3 characters; how many follow the first is its value mod 3.
    const int first = (100 * draw()) % 62;
    *o++ = kTables.symbol62[first];
    for (int extra = first % 3; extra > 0; --extra) *o++ = kTables.symbol62[(100 * draw()) % 62];

    const int e = kTables.value65[static_cast<unsigned char>(c)];
    const int keyChar = static_cast<unsigned char>(key[k]);
    if (++k == key.size()) k = 0;
    const int f = (e + keyChar) % 65;
    if (f <= 1) {
      *o++ = 'A';
      *o++ = f == 0 ? 'A' : 'B';
      continue;
    }
    const int m = f < 61 ? f : 61;
    int g;
    do {
      g = draw() % m;
    } while (f - g > 61);
    *o++ = kTables.symbol62[g];
    *o++ = kTables.symbol62[f - g];
  }
  t_randState = state;
  out.resize(static_cast<size_t>(o - out.data()));
  return out;
}

std::string UnscrambleText(std::string_view text, std::string_view key) {
  const size_t n = text.size();
  if (n == 0 || key.empty()) return {};
  const unsigned char* u = reinterpret_cast<const unsigned char*>(text.data());
  // Every group is at least three characters long.
  std::string out(n / 3 + 1, '\0');
  char* o = out.data();
  size_t p = 0;
  size_t k = 0;
  auto nextAlnum = [&](unsigned char& c) {
    while (p < n && !kTables.alnum[u[p]]) ++p;
    if (p >= n) return false;
    c = u[p++];
    return true;
  };
  for (;;) {
    unsigned char c1, c2, c3;
    if (!nextAlnum(c1)) break;
    p += static_cast<size_t>(kTables.value62[c1] % 3);  // the rest of the salt, unseen
    if (!nextAlnum(c2) || !nextAlnum(c3)) break;
    const int f = kTables.value62[c2] + kTables.value62[c3];
    const int keyChar = static_cast<unsigned char>(key[k]);
    if (++k == key.size()) k = 0;
    int h = (f - keyChar) % 65;
    if (h < 0) h += 65;
    *o++ = kTables.symbol65[h];
    if (p >= n) break;
  }
  out.resize(PercentDecode(out.data(), static_cast<size_t>(o - out.data())));
  return out;
}

}  // namespace quon
