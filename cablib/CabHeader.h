// Reads the directory of a cabinet (header, folders, files) and checks its
// structure, independently of the decompressor that unpacks it afterwards, so
// that every platform refuses the same archives before writing anything.
#ifndef CABLIB_CABHEADER_H
#define CABLIB_CABHEADER_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace cablib {

// Attribute bit of a file entry: the name is UTF-8 (else the 8-bit code page).
constexpr std::uint16_t kAttribNameIsUtf8 = 0x80;

// Most folders accepted in one archive (producers write one or a few).
constexpr std::uint16_t kMaxFolders = 256;

// Largest uncompressed size of one data block.
constexpr std::uint32_t kBlockBytes = 32768;

struct CabFolder {
  std::uint32_t dataOffset = 0;
  std::uint16_t blocks = 0;
  std::uint16_t method = 0;  // low 4 bits of the compression type: 0 none, 1 MSZIP, 3 LZX
};

struct CabFile {
  std::string rawName;  // bytes as stored, without the terminator
  std::uint16_t attribs = 0;
  std::uint32_t size = 0;
  std::uint32_t offset = 0;  // in the uncompressed data of its folder
  std::uint16_t folder = 0;
};

struct CabDirectory {
  std::vector<CabFolder> folders;
  std::vector<CabFile> files;
};

// Reads `n` bytes at `offset` of the archive; false when they are not all there.
using CabReadAt = std::function<bool(std::uint64_t offset, void* dst, std::size_t n)>;

// Parses the directory. False for anything this library will not unpack:
// no "MSCF" signature or an unknown major version; a cabinet that is part of
// a set (has a predecessor or successor); no folders or no files; a folder
// compressed other than none, MSZIP or LZX; a file in a folder that does not
// exist or continued across cabinets; a file whose data would lie beyond the
// blocks of its folder; a name longer than 255 bytes.
bool ReadCabDirectory(const CabReadAt& read, CabDirectory* out);

}  // namespace cablib

#endif
