// The PE version resource reader on arbitrary bytes: as a whole file, and
// the same bytes as a bare VS_VERSIONINFO block.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "update/PeVersionResource.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string text;
  const quon::PeVersionStatus status = quon::ReadPeProductVersionFromBuffer(data, size, text);
  if (status != quon::PeVersionStatus::FoundWithString && !text.empty()) __builtin_trap();
  for (char c : text) {
    if (static_cast<unsigned char>(c) >= 0x80 || c == 0) __builtin_trap();
  }
  // A copy of exactly the input's size, so reads past the block are caught.
  std::vector<std::uint8_t> block(data, data + size);
  std::string value;
  quon::QueryVersionString(block.data(), block.size(), "\\StringFileInfo\\040904b0\\ProductVersion",
                           value);
  quon::QueryVersionString(block.data(), block.size(), "\\VarFileInfo\\Translation", value);
  return 0;
}
