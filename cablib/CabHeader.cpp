#include "CabHeader.h"

namespace cablib {
namespace {

std::uint16_t Get16(const unsigned char* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }

std::uint32_t Get32(const unsigned char* p) {
  return std::uint32_t(p[0]) | (std::uint32_t(p[1]) << 8) | (std::uint32_t(p[2]) << 16) |
         (std::uint32_t(p[3]) << 24);
}

constexpr std::uint16_t kFlagPrevious = 0x0001;
constexpr std::uint16_t kFlagNext = 0x0002;
constexpr std::uint16_t kFlagReserve = 0x0004;
constexpr std::size_t kMaxName = 255;

// Reads a zero-terminated string of at most `limit` bytes at *offset.
bool ReadString(const CabReadAt& read, std::uint64_t* offset, std::size_t limit, std::string* out) {
  out->clear();
  unsigned char chunk[64];
  for (;;) {
    // Read byte-exact at the end of the archive, in chunks elsewhere.
    std::size_t n = sizeof chunk;
    while (n > 1 && !read(*offset, chunk, n)) n /= 2;
    if (!read(*offset, chunk, n)) return false;
    for (std::size_t i = 0; i < n; ++i) {
      if (chunk[i] == 0) {
        *offset += i + 1;
        return true;
      }
      if (out->size() == limit) return false;
      *out += static_cast<char>(chunk[i]);
    }
    *offset += n;
  }
}

}  // namespace

bool ReadCabDirectory(const CabReadAt& read, CabDirectory* out) {
  unsigned char h[36];
  if (!read(0, h, sizeof h)) return false;
  if (h[0] != 'M' || h[1] != 'S' || h[2] != 'C' || h[3] != 'F') return false;
  if (h[25] != 1) return false;  // major version
  const std::uint32_t filesAt = Get32(h + 16);
  const std::uint16_t folderCount = Get16(h + 26);
  const std::uint16_t fileCount = Get16(h + 28);
  const std::uint16_t flags = Get16(h + 30);
  if (flags & (kFlagPrevious | kFlagNext)) return false;
  if (folderCount == 0 || fileCount == 0 || folderCount > kMaxFolders) return false;

  std::uint64_t pos = sizeof h;
  std::size_t folderReserve = 0;
  if (flags & kFlagReserve) {
    unsigned char r[4];
    if (!read(pos, r, sizeof r)) return false;
    folderReserve = r[2];
    pos += sizeof r + Get16(r);
  }

  CabDirectory dir;
  dir.folders.reserve(folderCount);
  for (std::uint16_t i = 0; i < folderCount; ++i) {
    unsigned char f[8];
    if (!read(pos, f, sizeof f)) return false;
    pos += sizeof f + folderReserve;
    CabFolder folder;
    folder.dataOffset = Get32(f);
    folder.blocks = Get16(f + 4);
    folder.method = Get16(f + 6) & 0x0F;
    if (folder.method != 0 && folder.method != 1 && folder.method != 3) return false;
    dir.folders.push_back(folder);
  }

  pos = filesAt;
  dir.files.reserve(fileCount);
  for (std::uint16_t i = 0; i < fileCount; ++i) {
    unsigned char e[16];
    if (!read(pos, e, sizeof e)) return false;
    pos += sizeof e;
    CabFile file;
    file.size = Get32(e);
    file.offset = Get32(e + 4);
    file.folder = Get16(e + 8);
    file.attribs = Get16(e + 14);
    if (!ReadString(read, &pos, kMaxName, &file.rawName)) return false;
    if (file.folder >= folderCount) return false;  // also the "continued" markers 0xFFFD-0xFFFF
    const std::uint64_t capacity = std::uint64_t(dir.folders[file.folder].blocks) * kBlockBytes;
    if (std::uint64_t(file.offset) + file.size > capacity) return false;
    dir.files.push_back(std::move(file));
  }
  *out = std::move(dir);
  return true;
}

}  // namespace cablib
