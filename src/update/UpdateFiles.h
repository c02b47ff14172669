// Files an update run creates in the product directory: the downloaded
// archive and its unpack directory, the version file, and their removal.
#pragma once
#include <cstdint>
#include <functional>
#include <string>

namespace quon {

// Whether a name is taken (any file, directory or link of that name).
using NameTaken = std::function<bool(const std::string& path)>;

// "<dir>update<n>.0000", else "<dir>update<n>.000<k>" for k = 1, 2, ...,
// the first one not taken.
std::string ChooseArchivePath(const std::string& productDir, int32_t update, const NameTaken& taken);
// "<archive>.dir", else "<archive>.dir<k>" for k = 1, 2, ..., the first one
// not taken.
std::string ChooseUnpackDirectory(const std::string& archivePath, const NameTaken& taken);

// The four numbers of a version text "w.x.y.z" (blanks ignored). Only four
// dot-separated decimal numbers, each at most 65535, are a version; for
// anything else the result is false and `words` is left as it was.
bool ParseVersionWords(const std::string& text, uint16_t words[4]);

// Puts the four words, 16-bit little-endian, at the start of the version
// file, keeping any bytes after the eighth. The file is replaced as a whole
// (written under a temporary name, then renamed over), so it holds either
// its old or its new bytes. False when nothing was written.
bool WriteVersionFile(const std::string& path, const uint16_t words[4]);

// Deletes the files directly inside `unpackDir` and then the directory (a
// directory that still holds subdirectories stays), and the archive file.
// Empty paths are skipped.
void RemoveUnpackedAndArchive(const std::string& unpackDir, const std::string& archivePath);

}  // namespace quon
