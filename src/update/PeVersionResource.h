// Reading the version resource of a 32- or 64-bit Windows executable (PE
// file) without the operating system: the DOS and PE headers, the section
// table, the resource tree (type RT_VERSION) and the VS_VERSIONINFO block,
// in which a string such as "\StringFileInfo\040904b0\ProductVersion" is
// looked up the way the system's VerQueryValue does.
//
// Every offset and length taken from the file is checked against what was
// read; the resource tree is walked to its fixed depth of three levels and
// the version block only as deep as the query path, so no input makes the
// reader loop, recurse or read outside its buffers. From a file only the
// needed ranges are read, and never more than kPeMaxBytesRead in total.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace quon {

enum class PeVersionStatus {
  NoFile,              // the path does not exist
  NoVersionInfo,       // not a readable PE file, or it has no usable version resource
  FoundWithoutString,  // version resource present, the queried string is not in it
  FoundWithString,     // version resource present and the string found (possibly empty)
};

// Upper bound of the bytes read from one file, whatever the file claims.
constexpr std::size_t kPeMaxBytesRead = 64u * 1024u * 1024u;

// Where the bytes of a PE image come from: a file or a buffer in memory.
class PeByteSource {
 public:
  virtual ~PeByteSource() = default;
  // Size of the whole image in bytes.
  virtual std::uint64_t Size() const = 0;
  // Reads exactly len bytes at offset into out; false when the range is not
  // entirely inside the image or cannot be read.
  virtual bool Read(std::uint64_t offset, std::size_t len, std::vector<std::uint8_t>& out) = 0;
};

// Finds the version resource: type RT_VERSION (16); of its names the id 1
// (VS_VERSION_INFO) if present, else the first one; of its languages 0x0409
// if present, else language neutral, else the first one. On success block
// holds the resource's bytes (at most 64 KiB: a version block's own length
// is a 16-bit number). False when the image is not a valid PE file or has no
// such resource.
bool FindVersionResource(PeByteSource& source, std::vector<std::uint8_t>& block);

// Looks up a text value in a VS_VERSIONINFO block by a path of keys
// separated by backslashes, e.g. "\StringFileInfo\040904b0\ProductVersion".
// Keys compare case-insensitively (ASCII). The value is read up to its first
// NUL, never past its own block, and converted from UTF-16LE to 8 bits:
// ASCII characters as they are, every other character (a surrogate pair
// counts as one) as '?'. False when the block is malformed at the root or
// a key of the path is missing.
bool QueryVersionString(const std::uint8_t* block, std::size_t size, const std::string& subBlock,
                        std::string& value);

// Converts UTF-16LE text to 8 bits as described above, stopping at a NUL.
std::string Utf16LeToNarrow(const std::uint8_t* data, std::size_t byteCount);

// The ProductVersion string of the version resource under the fixed table
// 040904b0 (the resource's own translation table is not consulted).
// With FoundWithString the text is set (it may be empty); otherwise it is
// emptied.
PeVersionStatus ReadPeProductVersion(const std::string& path, std::string& text);
PeVersionStatus ReadPeProductVersionFromSource(PeByteSource& source, std::string& text);
PeVersionStatus ReadPeProductVersionFromBuffer(const std::uint8_t* data, std::size_t size,
                                               std::string& text);

}  // namespace quon
