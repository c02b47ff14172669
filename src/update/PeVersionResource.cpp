#include "update/PeVersionResource.h"

#include <algorithm>
#include <filesystem>
#include <initializer_list>
#include <fstream>
#include <system_error>

#include "base/FsPath.h"

namespace quon {
namespace {

constexpr std::uint16_t kRtVersion = 16;
constexpr std::uint16_t kVsVersionInfoId = 1;
constexpr std::uint16_t kLangEnglishUs = 0x0409;
constexpr std::uint16_t kLangNeutral = 0;
constexpr std::uint32_t kHighBit = 0x80000000u;
constexpr std::size_t kMaxVersionBlock = 0x10000;  // wLength is 16 bits wide

std::uint16_t U16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
std::uint32_t U32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

class BufferSource : public PeByteSource {
 public:
  BufferSource(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  std::uint64_t Size() const override { return size_; }
  bool Read(std::uint64_t offset, std::size_t len, std::vector<std::uint8_t>& out) override {
    if (offset > size_ || len > size_ - offset) return false;
    out.assign(data_ + offset, data_ + offset + len);
    return true;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
};

class FileSource : public PeByteSource {
 public:
  explicit FileSource(const std::string& path) : in_(FsPath(path), std::ios::binary) {
    if (!in_) return;
    in_.seekg(0, std::ios::end);
    std::streamoff end = in_.tellg();
    if (end < 0) {
      in_.close();
      return;
    }
    size_ = static_cast<std::uint64_t>(end);
  }
  bool IsOpen() const { return in_.is_open(); }
  std::uint64_t Size() const override { return size_; }
  bool Read(std::uint64_t offset, std::size_t len, std::vector<std::uint8_t>& out) override {
    if (!in_.is_open() || offset > size_ || len > size_ - offset) return false;
    if (len > kPeMaxBytesRead - budgetUsed_) return false;
    budgetUsed_ += len;
    out.resize(len);
    if (len == 0) return true;
    in_.clear();
    in_.seekg(static_cast<std::streamoff>(offset), std::ios::beg);
    in_.read(reinterpret_cast<char*>(out.data()), static_cast<std::streamsize>(len));
    return static_cast<std::size_t>(in_.gcount()) == len;
  }

 private:
  std::ifstream in_;
  std::uint64_t size_ = 0;
  std::size_t budgetUsed_ = 0;
};

struct Section {
  std::uint32_t va;
  std::uint32_t size;  // bytes of the section that come from the file
  std::uint32_t rawOffset;
};

// The parts of a PE image needed to read its resources.
class PeImage {
 public:
  explicit PeImage(PeByteSource& source) : source_(source) {}

  bool Load() {
    std::vector<std::uint8_t> dos;
    if (!source_.Read(0, 64, dos) || dos[0] != 'M' || dos[1] != 'Z') return false;
    const std::uint32_t peOffset = U32(&dos[0x3C]);
    // Signature (4), file header (20), and the optional header's fixed part
    // up to the data directories of either format.
    std::vector<std::uint8_t> hdr;
    if (!source_.Read(peOffset, 24, hdr)) return false;
    if (hdr[0] != 'P' || hdr[1] != 'E' || hdr[2] != 0 || hdr[3] != 0) return false;
    const std::uint16_t sectionCount = U16(&hdr[6]);
    const std::uint16_t optionalSize = U16(&hdr[20]);
    const std::uint64_t optionalOffset = std::uint64_t{peOffset} + 24;

    std::vector<std::uint8_t> opt;
    if (optionalSize < 2 || !source_.Read(optionalOffset, optionalSize, opt)) return false;
    std::size_t countAt;
    switch (U16(&opt[0])) {
      case 0x10B: countAt = 92; break;   // PE32
      case 0x20B: countAt = 108; break;  // PE32+
      default: return false;
    }
    const std::size_t dirsAt = countAt + 4;
    const std::size_t resourceAt = dirsAt + 2 * 8;
    if (optionalSize < resourceAt + 8) return false;
    if (U32(&opt[countAt]) < 3) return false;
    resourceRva_ = U32(&opt[resourceAt]);
    resourceSize_ = U32(&opt[resourceAt + 4]);
    if (resourceRva_ == 0 || resourceSize_ == 0) return false;

    const std::size_t tableBytes = std::size_t{sectionCount} * 40;
    std::vector<std::uint8_t> table;
    if (!source_.Read(optionalOffset + optionalSize, tableBytes, table)) return false;
    sections_.reserve(sectionCount);
    for (std::size_t i = 0; i < sectionCount; ++i) {
      const std::uint8_t* s = &table[i * 40];
      const std::uint32_t virtualSize = U32(s + 8);
      const std::uint32_t rawSize = U32(s + 16);
      Section sec{U32(s + 12), virtualSize != 0 ? std::min(virtualSize, rawSize) : rawSize,
                  U32(s + 20)};
      sections_.push_back(sec);
    }
    return true;
  }

  // Reads len bytes at the given relative virtual address, which must lie
  // within the file-backed part of one section.
  bool ReadRva(std::uint64_t rva, std::size_t len, std::vector<std::uint8_t>& out) {
    for (const Section& s : sections_) {
      if (rva < s.va) continue;
      const std::uint64_t delta = rva - s.va;
      if (delta >= s.size || len > s.size - delta) continue;
      return source_.Read(std::uint64_t{s.rawOffset} + delta, len, out);
    }
    return false;
  }

  // Reads one resource directory table (offset from the resource root).
  bool ReadDirectory(std::uint32_t offset, std::vector<std::uint8_t>& entries) {
    std::vector<std::uint8_t> head;
    if (offset > resourceSize_ || !ReadRva(std::uint64_t{resourceRva_} + offset, 16, head)) {
      return false;
    }
    const std::size_t count = std::size_t{U16(&head[12])} + U16(&head[14]);
    if (count == 0) return false;
    return ReadRva(std::uint64_t{resourceRva_} + offset + 16, count * 8, entries);
  }

  // Reads the data of the resource whose data entry is at the given offset
  // from the resource root (at most the size a version block can have).
  bool ReadDataEntry(std::uint32_t offset, std::vector<std::uint8_t>& data) {
    std::vector<std::uint8_t> entry;
    if (offset > resourceSize_ || !ReadRva(std::uint64_t{resourceRva_} + offset, 16, entry)) {
      return false;
    }
    const std::uint32_t dataRva = U32(&entry[0]);
    const std::size_t size = std::min<std::size_t>(U32(&entry[4]), kMaxVersionBlock);
    if (size == 0) return false;
    return ReadRva(dataRva, size, data);
  }

 private:
  PeByteSource& source_;
  std::uint32_t resourceRva_ = 0;
  std::uint32_t resourceSize_ = 0;
  std::vector<Section> sections_;
};

struct DirEntry {
  bool named;
  std::uint16_t id;
  bool isDirectory;
  std::uint32_t offset;
};

DirEntry EntryAt(const std::vector<std::uint8_t>& entries, std::size_t i) {
  const std::uint32_t name = U32(&entries[i * 8]);
  const std::uint32_t data = U32(&entries[i * 8 + 4]);
  return DirEntry{(name & kHighBit) != 0, static_cast<std::uint16_t>(name & 0xFFFF),
                  (data & kHighBit) != 0, data & ~kHighBit};
}

// Index of the first entry that satisfies the wanted kind and, if given, an
// id from the preference list (earlier ids win); -1 if none.
long PickEntry(const std::vector<std::uint8_t>& entries, bool wantDirectory,
               std::initializer_list<int> preferredIds, bool anyAsLastResort) {
  const std::size_t count = entries.size() / 8;
  for (int id : preferredIds) {
    for (std::size_t i = 0; i < count; ++i) {
      DirEntry e = EntryAt(entries, i);
      if (!e.named && e.id == id && e.isDirectory == wantDirectory) return static_cast<long>(i);
    }
  }
  if (anyAsLastResort) {
    for (std::size_t i = 0; i < count; ++i) {
      if (EntryAt(entries, i).isDirectory == wantDirectory) return static_cast<long>(i);
    }
  }
  return -1;
}

// One node of a VS_VERSIONINFO tree, located within the block buffer.
struct VersionNode {
  std::size_t end;          // one past the node's last byte (clamped to its parent)
  std::uint16_t valueLength;
  std::uint16_t type;
  std::size_t keyAt;        // first byte of the key
  std::size_t keyChars;     // key length without its NUL
  std::size_t valueAt;      // first byte of the value (4-aligned)
  std::size_t childrenAt;   // first child (4-aligned), may be >= end
};

std::size_t Align4(std::size_t v) { return (v + 3) & ~std::size_t{3}; }

bool ParseNode(const std::uint8_t* block, std::size_t at, std::size_t parentEnd, VersionNode& node) {
  if (at > parentEnd || parentEnd - at < 6) return false;
  const std::uint16_t length = U16(block + at);
  if (length < 6) return false;
  node.end = std::min(parentEnd, at + length);
  node.valueLength = U16(block + at + 2);
  node.type = U16(block + at + 4);
  node.keyAt = at + 6;
  std::size_t p = node.keyAt;
  while (true) {
    if (p + 2 > node.end) return false;  // key without its NUL
    if (U16(block + p) == 0) break;
    p += 2;
  }
  node.keyChars = (p - node.keyAt) / 2;
  node.valueAt = Align4(p + 2);
  const std::size_t valueBytes = std::size_t{node.valueLength} * (node.type != 0 ? 2 : 1);
  node.childrenAt = Align4(node.valueAt + valueBytes);
  return true;
}

bool KeyEquals(const std::uint8_t* block, const VersionNode& node, const std::string& key) {
  if (node.keyChars != key.size()) return false;
  for (std::size_t i = 0; i < key.size(); ++i) {
    std::uint16_t c = U16(block + node.keyAt + 2 * i);
    unsigned char k = static_cast<unsigned char>(key[i]);
    if (c >= 0x80 || k >= 0x80) {
      if (c != k) return false;
      continue;
    }
    auto lower = [](unsigned v) { return (v >= 'A' && v <= 'Z') ? v + 32 : v; };
    if (lower(c) != lower(k)) return false;
  }
  return true;
}

bool IsVersionBlock(const std::uint8_t* block, std::size_t size) {
  VersionNode root;
  return ParseNode(block, 0, size, root);
}

}  // namespace

std::string Utf16LeToNarrow(const std::uint8_t* data, std::size_t byteCount) {
  std::string out;
  for (std::size_t i = 0; i + 1 < byteCount; i += 2) {
    std::uint16_t c = U16(data + i);
    if (c == 0) break;
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else if (c >= 0xD800 && c <= 0xDBFF && i + 3 < byteCount) {
      std::uint16_t next = U16(data + i + 2);
      if (next >= 0xDC00 && next <= 0xDFFF) i += 2;  // one character, one '?'
      out.push_back('?');
    } else {
      out.push_back('?');
    }
  }
  return out;
}

bool FindVersionResource(PeByteSource& source, std::vector<std::uint8_t>& block) {
  block.clear();
  PeImage image(source);
  if (!image.Load()) return false;

  // The tree has three levels: type, name, language. Each level is read once
  // from an offset found at the level above, so a directory that points back
  // at itself or its parents cannot make the walk loop.
  std::vector<std::uint8_t> types, names, languages, dataEntry;
  if (!image.ReadDirectory(0, types)) return false;
  long t = PickEntry(types, true, {kRtVersion}, false);
  if (t < 0) return false;
  if (!image.ReadDirectory(EntryAt(types, t).offset, names)) return false;
  long n = PickEntry(names, true, {kVsVersionInfoId}, true);
  if (n < 0) return false;
  if (!image.ReadDirectory(EntryAt(names, n).offset, languages)) return false;
  long l = PickEntry(languages, false, {kLangEnglishUs, kLangNeutral}, true);
  if (l < 0) return false;
  return image.ReadDataEntry(EntryAt(languages, l).offset, block);
}

bool QueryVersionString(const std::uint8_t* block, std::size_t size, const std::string& subBlock,
                        std::string& value) {
  value.clear();
  VersionNode node;
  if (block == nullptr || !ParseNode(block, 0, size, node)) return false;
  std::size_t pos = 0;
  bool descended = false;
  while (pos < subBlock.size()) {
    std::size_t sep = subBlock.find('\\', pos);
    if (sep == std::string::npos) sep = subBlock.size();
    const std::string key = subBlock.substr(pos, sep - pos);
    pos = sep + 1;
    if (key.empty()) continue;
    // Walk the children of the current node; each step moves forward by at
    // least 8 bytes, and never beyond the node.
    bool found = false;
    std::size_t at = node.childrenAt;
    VersionNode child;
    while (at < node.end && ParseNode(block, at, node.end, child)) {
      if (KeyEquals(block, child, key)) {
        found = true;
        break;
      }
      at = Align4(child.end);
    }
    if (!found) return false;
    node = child;
    descended = true;
  }
  if (!descended) return false;
  if (node.valueLength == 0 || node.valueAt >= node.end) return true;  // empty text
  value = Utf16LeToNarrow(block + node.valueAt, node.end - node.valueAt);
  return true;
}

PeVersionStatus ReadPeProductVersionFromSource(PeByteSource& source, std::string& text) {
  text.clear();
  std::vector<std::uint8_t> block;
  if (!FindVersionResource(source, block) || !IsVersionBlock(block.data(), block.size())) {
    return PeVersionStatus::NoVersionInfo;
  }
  if (!QueryVersionString(block.data(), block.size(), "\\StringFileInfo\\040904b0\\ProductVersion",
                          text)) {
    text.clear();
    return PeVersionStatus::FoundWithoutString;
  }
  return PeVersionStatus::FoundWithString;
}

PeVersionStatus ReadPeProductVersionFromBuffer(const std::uint8_t* data, std::size_t size,
                                               std::string& text) {
  BufferSource source(data, data != nullptr ? size : 0);
  return ReadPeProductVersionFromSource(source, text);
}

PeVersionStatus ReadPeProductVersion(const std::string& path, std::string& text) {
  text.clear();
  std::error_code ec;
  const std::filesystem::file_status st = std::filesystem::status(FsPath(path), ec);
  if (path.empty() || !std::filesystem::exists(st)) return PeVersionStatus::NoFile;
  // Directories, devices and pipes have no version resource; opening a pipe
  // could also block.
  if (!std::filesystem::is_regular_file(st)) return PeVersionStatus::NoVersionInfo;
  FileSource source(path);
  if (!source.IsOpen()) return PeVersionStatus::NoVersionInfo;
  return ReadPeProductVersionFromSource(source, text);
}

}  // namespace quon
