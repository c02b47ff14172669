// Checks shared by every platform's unpacker: which archive listings may be
// unpacked at all, decided before a single byte is written.
#ifndef CABLIB_SAFENAMES_H
#define CABLIB_SAFENAMES_H

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace cablib {

// Longest file name accepted, in UTF-8 bytes (what common file systems allow).
constexpr std::size_t kMaxNameBytes = 255;

// Upper bound of the sum of the declared sizes of all files of one archive.
// A single file's size is a 32-bit field of the archive and is bounded by it.
constexpr std::uint64_t kDefaultMaxTotalBytes = std::uint64_t(4) << 30;  // 4 GiB

// Free space that must remain on the target volume beyond the files.
constexpr std::uint64_t kFreeSpaceReserve = std::uint64_t(1) << 20;  // 1 MiB

struct ArchiveEntry {
  std::string name;          // UTF-8 file name it is unpacked under (see LastComponent)
  std::uint64_t size = 0;    // declared uncompressed size
  bool superseded = false;   // set by CheckListing: a later entry is unpacked under the same name
};

// The file name a stored name is unpacked under: the text after its last
// backslash or slash, the whole name when it has none. Archives may record
// folders ("lib\x.dll"); files are unpacked flat, since the updater finds each
// one by its plain name. The name must be text already (UTF-8): in some
// 8-bit code pages a backslash byte can be the second half of a character.
std::string LastComponent(std::string_view storedName);

// True when name (UTF-8) is one plain file name that lands inside the target
// directory on Linux and on Windows alike: not empty, at most kMaxNameBytes,
// valid UTF-8, no control characters (C0, DEL, C1), none of / \ : * ? " < > |,
// not "." or "..", no trailing dot or blank (Windows drops them), and not a
// Windows device name (CON, PRN, AUX, NUL, COM1-9, LPT1-9, CONIN$, CONOUT$,
// with or without an extension).
bool IsSafeFileName(std::string_view name);

// Case folding used to find names that a case-insensitive file system would
// treat as one: ASCII, Latin-1, Latin Extended-A, Greek and Cyrillic letters.
// Input must be valid UTF-8; invalid sequences are kept byte for byte.
std::string FoldName(std::string_view name);

enum class ListingProblem {
  None,
  Empty,            // no files at all
  UnsafeName,       // a name fails IsSafeFileName
  TooLarge,         // declared total above the bound
};

// Checks a whole listing; the archive is unpacked only when this returns
// ListingProblem::None. Names equal when case is ignored (FoldName) are one
// file, as on a case-insensitive file system: the last such entry is unpacked
// under its own spelling and every earlier one is marked superseded (it is
// still decompressed, so damage in it fails the archive, but never written).
// The bound applies to the declared sizes of all entries, superseded ones
// included, since all are decompressed; *writtenTotal receives the sum of
// the sizes that are written.
ListingProblem CheckListing(std::vector<ArchiveEntry>* entries, std::uint64_t maxTotalBytes,
                            std::uint64_t* writtenTotal);

// Names for temporary files in the target directory. Each candidate differs
// (ignoring case) from every name of the listing, so renaming one temporary
// file into place can never replace another that is still pending; the caller
// creates it exclusively and asks for the next candidate when it exists.
class TempNamer {
 public:
  TempNamer(const std::vector<ArchiveEntry>& entries, unsigned long processId);
  std::string Next();

 private:
  std::unordered_set<std::string> taken_;
  unsigned long processId_;
  std::uint64_t salt_;
  unsigned long counter_ = 0;
};

}  // namespace cablib

#endif
