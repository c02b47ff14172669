// Any byte string, and any record of fields, survives the trip through the
// wire format unchanged.
#include <cstddef>
#include <cstdint>
#include <string>

#include "net/FieldMap.h"
#include "net/PayloadCodec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  quon::CrtSeed(static_cast<uint32_t>(size));
  const std::string scrambled = quon::ScrambleText(bytes);
  for (unsigned char c : scrambled)
    if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'))) __builtin_trap();
  if (quon::UnscrambleText(scrambled) != bytes) __builtin_trap();

  // Split the input into name/value pairs at 0xFF bytes.
  quon::FieldMap in;
  size_t start = 0;
  std::string name;
  bool haveName = false;
  for (size_t i = 0; i <= size; ++i) {
    if (i == size || data[i] == 0xFF) {
      std::string piece = bytes.substr(start, i - start);
      if (haveName) {
        // Names travel escaped; an escaped name over 255 characters is refused.
        if (!name.empty() && quon::PercentEncode(name).size() <= 255) in.Set(name, piece);
      } else {
        name = piece;
      }
      haveName = !haveName;
      start = i + 1;
    }
  }
  for (bool scramble : {false, true}) {
    quon::FieldMap out;
    quon::DecodeFields(quon::EncodeFields(in, scramble), out, scramble);
    if (out.Size() != in.Size()) __builtin_trap();
    for (const auto& [n, v] : in) {
      const std::string* got = out.Find(n);
      if (!got || *got != v) __builtin_trap();
    }
  }
  return 0;
}
