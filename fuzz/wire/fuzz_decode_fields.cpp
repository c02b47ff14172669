#include <cstddef>
#include <cstdint>
#include <string_view>

#include "net/FieldMap.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const bool unscramble = data[0] & 1;
  const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
  quon::FieldMap fields;
  quon::DecodeFields(text, fields, unscramble);
  for (const auto& [name, value] : fields)
    if (name.empty() || name.size() > 255) __builtin_trap();
  std::vector<std::string> pieces;
  quon::SplitFields(text, pieces, ";");
  return 0;
}
