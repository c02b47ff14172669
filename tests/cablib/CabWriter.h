// A small cabinet writer for tests: builds well-formed archives with stored,
// MSZIP (deflate stored blocks), LZX uncompressed-block or LZX verbatim-block
// (Huffman-coded literals) folders, and lets a test bend any field into
// something hostile.
#ifndef TESTS_CABLIB_CABWRITER_H
#define TESTS_CABLIB_CABWRITER_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace cabtest {

enum class Method { Stored, Mszip, Lzx, LzxVerbatim };

struct FileSpec {
  std::string name;
  std::string data;
  std::uint16_t attribs = 0x20;                 // archive bit; 0x80 marks a UTF-8 name
  std::optional<std::uint32_t> declaredSize;    // overrides data.size() in the CFFILE
  std::optional<std::uint32_t> declaredOffset;  // overrides the offset within the folder
  std::optional<std::uint16_t> folderIndex;     // overrides the folder number
};

struct FolderSpec {
  Method method = Method::Stored;
  std::vector<FileSpec> files;
};

struct CabSpec {
  std::vector<FolderSpec> folders;
  bool checksums = true;
  std::uint16_t flags = 0;  // 1: has a predecessor, 2: has a successor
  std::size_t blockSize = 32768;
};

// Where the pieces of a built archive lie, for targeted damage.
struct CabLayout {
  std::size_t headerEnd = 0;                     // end of CFHEADER and its names
  std::size_t filesOffset = 0;                   // first CFFILE
  std::vector<std::size_t> dataBlocks;           // each CFDATA header
};

std::string BuildCab(const CabSpec& plan, CabLayout* layout = nullptr);

// The cabinet checksum of a data block.
std::uint32_t CabChecksum(const unsigned char* data, std::size_t size, std::uint32_t seed);

// Deterministic filler: `size` bytes, mildly compressible when `text` is set.
std::string Filler(std::size_t size, std::uint32_t seed, bool text = false);

}  // namespace cabtest

#endif
