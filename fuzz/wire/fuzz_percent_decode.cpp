#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "net/PayloadCodec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // An exact-size heap copy, so that ASan sees any read or write past the end.
  std::unique_ptr<char[]> text(new char[size ? size : 1]);
  if (size) std::memcpy(text.get(), data, size);
  const size_t n = quon::PercentDecode(text.get(), size);
  if (n > size) __builtin_trap();
  // Escaping then unescaping gives the bytes back.
  const std::string original(reinterpret_cast<const char*>(data), size);
  if (quon::PercentDecode(quon::PercentEncode(original)) != original) __builtin_trap();
  return 0;
}
