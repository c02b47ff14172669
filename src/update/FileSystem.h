// The parts of installing an update's files that differ from one system to
// another: how the bytes of a list entry name a file, how a name is found in
// a directory, and how a file is created, given its predecessor's access and
// renamed into place. FileSystem_posix.cpp and FileSystem_win.cpp implement
// it; the build puts the system's own into the core.
#pragma once
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

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

// Where one installation run reads and writes the files of list entries.
// Entries are 8-bit text in the Windows code page, and Windows finds a name
// whatever the case of its ASCII letters; a system that differs maps the
// text and searches directories here, remembering what it has read for the
// run. The directories of an entry are walked one name at a time, never by
// looking the whole path up again at each step.
class InstallNames {
 public:
  // Both directories end in `separator`, which joins the paths returned.
  InstallNames(std::string productDir, std::string unpackDir, char separator);
  ~InstallNames();
  InstallNames(const InstallNames&) = delete;
  InstallNames& operator=(const InstallNames&) = delete;

  // One path component of a list entry, spelt the way the file system
  // stores names.
  std::string OnDisk(std::string_view component);
  // The unpacked regular file that an entry's file name denotes, or empty.
  std::string UnpackedFile(std::string_view fileName);
  // The path that an entry's file goes to: each of its directories `dirs`
  // found under the product directory (or created when missing), then the
  // file name found in the last one, or taken as written when it is new.
  // Empty when a directory can be neither found nor created, or is a link
  // that leads outside the product directory.
  std::string Target(const std::vector<std::string_view>& dirs, std::string_view fileName);

 private:
  struct State;
  std::unique_ptr<State> m_state;
};

}  // namespace quon
