// The parts of installing an update's files that differ from one system to
// another: how a file is created, given its predecessor's access and renamed
// into place. FileSystem_posix.cpp and FileSystem_win.cpp implement
// it; the build puts the system's own into the core.
#pragma once
#include <cstdio>
#include <string>
#include <string_view>

namespace quon {

// A path with a NUL byte names something else than it says (the system
// reads it up to the NUL); no such path is ever used.
inline bool HasNul(const std::string& path) { return path.find('\0') != std::string::npos; }

// Why a file-system call failed, as far as replacing a file cares.
enum class FsFailure {
  None,
  Exists,   // something already stands under the name
  Busy,     // a sharing or access conflict that may pass (a scanner holding the file open)
  Refused,  // permission denied: the directory takes no new file
  Other,
};

// Creates `path` as a new, empty file open for binary writing. Never opens,
// replaces or follows anything that already stands under that name (the
// failure is then Exists). Null on failure, with its cause in `failure`.
std::FILE* CreateNewFile(const std::string& path, FsFailure& failure);

// Opens the existing regular file `path` for binary writing from its start,
// without truncating it and without following a symbolic link. Null when
// that cannot be done.
std::FILE* OpenFileInPlace(const std::string& path);

// Gives the open `file` the permission bits of the existing file `original`,
// and its owner and group when the process may set them. Best effort: where
// that cannot be done the new file keeps what it was created with.
void KeepAccessOf(const std::string& original, std::FILE* file);

// Renames the file `from` to `to`, replacing a file that stands there.
FsFailure RenameOver(const std::string& from, const std::string& to);

}  // namespace quon
