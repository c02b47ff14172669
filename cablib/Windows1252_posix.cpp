#include "Windows1252_posix.h"

#include <algorithm>
#include <cerrno>

namespace cablib {

std::string Windows1252::ToUtf8(const std::string& raw) {
  if (std::all_of(raw.begin(), raw.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; })) {
    return raw;
  }
  if (cd_ == kNone) return std::string();
  ::iconv(cd_, nullptr, nullptr, nullptr, nullptr);
  std::string out(raw.size() * 3, '\0');  // no byte takes more than three
  char* in = const_cast<char*>(raw.data());
  std::size_t inLeft = raw.size();
  char* to = &out[0];
  std::size_t toLeft = out.size();
  while (inLeft > 0) {
    if (::iconv(cd_, &in, &inLeft, &to, &toLeft) != static_cast<std::size_t>(-1)) break;
    const auto byte = static_cast<unsigned char>(*in);
    if (errno != EILSEQ || byte < 0x80 || byte > 0x9F || toLeft < 2) return std::string();
    *to++ = '\xC2';
    *to++ = static_cast<char>(byte);
    toLeft -= 2;
    ++in;
    --inLeft;
  }
  out.resize(out.size() - toLeft);
  return out;
}

}  // namespace cablib
