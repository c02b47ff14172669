// Files an update run creates in the product directory: the downloaded
// archive and its unpack directory, the version file, and their removal,
// also of what earlier runs left.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "base/FileSystem.h"

namespace quon {

// Whether a name is taken (any file, directory or link of that name).
using NameTaken = std::function<bool(const std::string& path)>;

// "<dir>update<n>.0000", else "<dir>update<n>.000<k>" for k = 1, 2, ...,
// the first one not taken.
std::string ChooseArchivePath(const std::string& productDir, int32_t update, const NameTaken& taken);
// "<archive>.dir", else "<archive>.dir<k>" for k = 1, 2, ..., the first one
// not taken.
std::string ChooseUnpackDirectory(const std::string& archivePath, const NameTaken& taken);

// Whether a bare file name is one the update run gives its own files: an
// archive "update<n>.0000" or "update<n>.000<k>"; an unpack directory, that
// name followed by ".dir" or ".dir<k>"; a temporary copy beside an installed
// target, "<target>.quonupd" or "<target>.quonupd<k>"; the running
// executable that an update replaced, renamed aside as "<name>.quonold<k>".
// Numbers as the run writes them (n any int32, k from 1, no leading zeros).
bool IsArchiveName(std::string_view name);
bool IsUnpackDirectoryName(std::string_view name);
bool IsInstallTemporaryName(std::string_view name);
bool IsReplacedExecutableName(std::string_view name);

// How much of a product directory the start-up clean-up looks at.
constexpr size_t kMaxLeftoverScanEntries = 100000;
constexpr int kMaxLeftoverScanDepth = 32;

// Removes what earlier runs of the updater left in the product directory
// when they were ended before cleaning up: archives, unpack directories
// (everything but subdirectories directly inside, then the directory,
// which stays while it holds subdirectories), replaced executables and the
// page file at the top, install temporaries anywhere below. Elsewhere only
// regular files of those names are removed; links are neither removed nor
// followed, and a name the program's text cannot spell exactly is never one
// of its own. The last installation's backup (InstallJournal.h) is never
// looked into. At most `maxEntries` directory entries are looked at. Must
// run only while no other copy of the updater runs on the directory.
// Returns the number of files and directories removed.
size_t RemoveLeftoversOfEarlierRuns(FileSystem& fs, const std::string& productDir,
                                    size_t maxEntries = kMaxLeftoverScanEntries);

// The four numbers of a version text "w.x.y.z" (blanks ignored). Only four
// dot-separated decimal numbers, each at most 65535, are a version; for
// anything else the result is false and `words` is left as it was.
bool ParseVersionWords(const std::string& text, uint16_t words[4]);

// Puts the four words, 16-bit little-endian, at the start of the version
// file, keeping any bytes after the eighth. The file is replaced as a whole
// and durably (ReplaceFileContent), so it holds either its old or its new
// bytes; the old bytes are streamed, never held in memory. False when
// nothing was written.
bool WriteVersionFile(FileSystem& fs, const std::string& path, const uint16_t words[4]);

// Deletes the files directly inside `unpackDir` and then the directory (a
// directory that still holds subdirectories stays, and a link is never
// emptied), and the archive file. Empty paths are skipped.
void RemoveUnpackedAndArchive(FileSystem& fs, const std::string& unpackDir, const std::string& archivePath);

}  // namespace quon
