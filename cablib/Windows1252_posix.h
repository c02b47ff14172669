// Archive names on Linux: the code page of names not marked UTF-8.
#pragma once
#include <iconv.h>

#include <string>

namespace cablib {

// Names not marked UTF-8 are 8-bit text in the Windows code page; they are
// read as Windows-1252. The five bytes that code page leaves undefined become
// the C1 controls of the same value, as the Windows table maps them, so a file
// name holding one is refused like any control character while a folder part
// holding one is dropped.
class Windows1252 {
 public:
  Windows1252() : cd_(::iconv_open("UTF-8", "WINDOWS-1252")) {}
  ~Windows1252() {
    if (cd_ != kNone) ::iconv_close(cd_);
  }
  Windows1252(const Windows1252&) = delete;
  Windows1252& operator=(const Windows1252&) = delete;

  // UTF-8 text of `raw`; empty when it cannot be converted (no converter).
  std::string ToUtf8(const std::string& raw);

 private:
  static inline const iconv_t kNone = reinterpret_cast<iconv_t>(-1);
  iconv_t cd_;
};

}  // namespace cablib
