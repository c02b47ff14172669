// Builds small PE images and version blocks in memory, so tests can place
// every offset and length where they want.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "update/PeVersionResource.h"

namespace petest {

using Bytes = std::vector<std::uint8_t>;

// One node of a VS_VERSIONINFO tree.
struct VerNode {
  std::u16string key;
  std::uint16_t type = 1;          // 1 text, 0 binary
  Bytes value;                     // raw value bytes
  std::uint16_t valueLength = 0;   // as stored (characters for text)
  std::vector<VerNode> children;
};

VerNode Text(const std::u16string& key, const std::u16string& text);  // NUL added
VerNode Block(const std::u16string& key, std::vector<VerNode> children);
// Root "VS_VERSION_INFO" with a 52-byte fixed information value.
VerNode Root(std::vector<VerNode> children);
// Root -> StringFileInfo -> table -> the given strings.
VerNode StandardVersion(const std::u16string& table, std::vector<VerNode> strings);
Bytes Serialize(const VerNode& node);

struct Resource {
  std::uint16_t type;
  std::uint16_t name;   // an id; see namedName
  std::uint16_t lang;
  Bytes data;
  bool namedName = false;  // give the name level a string name instead of the id
};

struct PeLayout {
  std::uint32_t peOffset = 0x80;
  std::uint32_t sectionVa = 0x1000;
  std::uint32_t sectionRaw = 0x200;
  bool pe32Plus = false;
};

// A PE file with one section holding the resource tree of the given
// resources (grouped by type, then name, then language, in the given order).
Bytes BuildPe(const std::vector<Resource>& resources, const PeLayout& layout = PeLayout());

// Offsets within an image from BuildPe, for tests that corrupt it.
struct PeOffsets {
  std::uint32_t peHeader;        // "PE\0\0"
  std::uint32_t optionalHeader;
  std::uint32_t resourceDirEntry;  // RVA, size of the resource data directory
  std::uint32_t sectionTable;
  std::uint32_t resourceRoot;      // file offset of the root directory table
};
PeOffsets OffsetsOf(const Bytes& pe);

void PutU16(Bytes& b, std::size_t at, std::uint16_t v);
void PutU32(Bytes& b, std::size_t at, std::uint32_t v);
std::uint32_t GetU32(const Bytes& b, std::size_t at);

Bytes ReadFileBytes(const std::string& path);

// What the reader gives for a file or a buffer.
struct Read {
  quon::PeVersionStatus status;
  std::string text;
};
inline Read FromFile(const std::string& path) {
  Read r;
  r.status = quon::ReadPeProductVersion(path, r.text);
  return r;
}
inline Read FromBuffer(const Bytes& b) {
  Read r;
  r.status = quon::ReadPeProductVersionFromBuffer(b.data(), b.size(), r.text);
  return r;
}

}  // namespace petest
