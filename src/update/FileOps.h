// File work of the update session on top of std::filesystem. Paths are
// 8-bit texts; FsPath (base/FsPath.h) is the one place they become
// filesystem paths.
#pragma once
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "base/FsPath.h"

namespace quon {

// Anything of that name exists: a file, a directory, or a link (even one
// that points nowhere), as the attribute query counts it.
bool PathExists(const std::string& path);
bool IsDirectory(const std::string& path);
bool IsRegularFile(const std::string& path);
// True when the entry exists and its permission bits allow the owner to
// write it. Checked explicitly, so a read-only file counts as read-only for
// a privileged user too.
bool IsOwnerWritable(const std::string& path);

// True when the existing directory `path` lies inside the directory `root`
// once links are resolved: a directory, or a link to one inside.
bool IsDirectoryInside(const std::string& root, const std::string& path);

// Writes `bytes` as the whole content of `path` in binary mode (created or
// truncated). False when the file cannot be created or written.
bool WriteWholeFile(const std::string& path, std::string_view bytes);

// The content a file is replaced with: `head`, then the bytes of the file
// `tailFrom` after its first `tailOffset` bytes (nothing more when
// `tailFrom` is empty or no longer than that).
struct NewContent {
  std::string_view head;
  std::string tailFrom;
  uint64_t tailOffset = 0;
};

// Replaces (or creates) `target` with `content` so that an interruption
// never leaves it half written: the bytes go to a new file beside it,
// "<target>.quonupd" (or with a number after it when that name is taken),
// which takes the replaced file's permission bits (and owner and group where
// the process may set them) and is then renamed over the target. A rename
// refused by a sharing or access conflict is tried again for about a second
// when `waitWhileBusy`. Only when the directory refuses new files and the
// target is a writable regular file (not a link) is the target rewritten in
// place, once its volume has room for the new bytes. Fails, leaving the
// target as it was, when the target exists and is not a regular file or is
// read-only, a path holds a NUL, or `tailFrom` cannot be read.
bool ReplaceFile(const std::string& target, const NewContent& content, bool waitWhileBusy = true);

// ReplaceFile with the bytes of `source`, which must be a regular file.
bool ReplaceFileFromCopy(const std::string& source, const std::string& target, bool waitWhileBusy = true);

// Deletes a file (not a directory); false when nothing was deleted.
bool DeleteFileOnly(const std::string& path);

}  // namespace quon
