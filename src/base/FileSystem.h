// The file system as the updater uses it where it writes and deletes: the
// installation of an update's files, the download's archive, the unpack
// directory and the clean-up. One implementation per system
// (FileSystem_posix.cpp, FileSystem_win.cpp) behind one interface, and
// FileSystemWrapper, which forwards every call so that a test can change
// one call at a time.
//
// Names are looked up one component at a time in directories held open
// (FsDir), and a link is never followed on the way: a symbolic link, a
// junction or any other reparse point where a file or a directory is asked
// for is refused (IsLink), never written or deleted through, never listed
// into. A directory held open cannot be swapped for something else while
// it is held: on Linux every call resolves its names from the directory's
// descriptor; on Windows the directory's handle denies renaming and
// deleting it.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/SystemError.h"

namespace quon {

// How a file-system call ended.
enum class FsError {
  None,
  NotFound,   // nothing of that name
  Exists,     // something already stands under the name
  IsLink,     // a link or reparse point where a file or directory was asked for
  WrongType,  // a directory where a file was asked for, or the other way round
  BadName,    // not a name the system can hold in a directory (a path, "..", a device)
  Refused,    // permission denied
  Busy,       // held by another program (a sharing violation): may pass
  DiskFull,   // no room on the volume, or over a quota
  IoError,    // the device reported an error
  Other,
};

// The file-error table's cause for a failure, for the user's message.
FileCause FileCauseOf(FsError error);

enum class FsType { File, Directory, Link, Other };

// A directory entry. A name that the program's 8-bit text cannot spell
// exactly (a Windows name outside the ANSI code page) is never listed: it
// cannot be one of the updater's names, and its converted form would name
// something else.
struct FsEntry {
  std::string name;
  FsType type = FsType::Other;
};

// What a name stands for, the name itself when it is a link.
struct FsInfo {
  FsType type = FsType::Other;
  uint64_t size = 0;
  bool ownerWritable = false;  // its permissions let its owner write it (not read-only)
};

// A directory held open. Path() is its path as text, ending in the
// system's separator, for messages and for building paths of entries.
class FsDir {
 public:
  virtual ~FsDir() = default;
  const std::string& Path() const { return m_path; }

 protected:
  explicit FsDir(std::string path) : m_path(std::move(path)) {}

 private:
  std::string m_path;
};

// A file held open. Closed when destroyed, if Close was not called.
class FsFile {
 public:
  virtual ~FsFile() = default;
  const std::string& Path() const { return m_path; }

 protected:
  explicit FsFile(std::string path) : m_path(std::move(path)) {}

 private:
  std::string m_path;
};

enum class FsAccess {
  Read,    // reading; on Windows nobody may write, rename or delete the file while it is held
  Modify,  // writing the existing file in place
};

class FileSystem {
 public:
  virtual ~FileSystem() = default;

  // The directory `path`, a path as the program holds it (links in it are
  // those of where the program runs and are followed).
  virtual FsError OpenRoot(const std::string& path, std::unique_ptr<FsDir>& dir) = 0;
  // The subdirectory `name` of `parent`. A link there is refused, except
  // that with `linksInside`, a link to a directory that lies inside that
  // directory is followed where the system allows links at all (Linux).
  virtual FsError OpenDir(FsDir& parent, const std::string& name, std::unique_ptr<FsDir>& dir,
                          const FsDir* linksInside = nullptr) = 0;
  // Makes the directory `name` in `parent`; a private one is open to this
  // process's user only, whatever the umask or the inherited permissions.
  virtual FsError MakeDir(FsDir& parent, const std::string& name, bool privateToUser) = 0;
  // Removes the empty directory `name`.
  virtual FsError RemoveDir(FsDir& parent, const std::string& name) = 0;
  // True when `dir` was made by this process's user and is closed to
  // others, so that nobody else can have changed what is in it.
  virtual bool IsPrivate(FsDir& dir) = 0;
  // The same for a regular file, which has no other name besides.
  virtual bool IsPrivate(FsFile& file) = 0;

  // What stands under `name`, without following a link.
  virtual FsError Stat(FsDir& dir, const std::string& name, FsInfo& info) = 0;
  // The entries of `dir` (without "." and ".."), at most `maxEntries` of them
  // looked at.
  virtual FsError List(FsDir& dir, size_t maxEntries, std::vector<FsEntry>& entries) = 0;

  // Creates `name` as a new, empty file open for writing. Fails with Exists
  // when anything stands there, a link included. A private file is open to
  // this process's user only; otherwise it gets what a new file in `dir`
  // gets.
  virtual FsError CreateFile(FsDir& dir, const std::string& name, bool privateToUser,
                             std::unique_ptr<FsFile>& file) = 0;
  // Opens the existing regular file `name`.
  virtual FsError OpenFile(FsDir& dir, const std::string& name, FsAccess access, std::unique_ptr<FsFile>& file) = 0;
  // Reads up to `n` bytes at the file's position; `got` 0 at its end.
  virtual FsError Read(FsFile& file, void* buffer, size_t n, size_t& got) = 0;
  // Writes all `n` bytes at the file's position.
  virtual FsError Write(FsFile& file, const void* data, size_t n) = 0;
  virtual FsError Seek(FsFile& file, uint64_t position) = 0;
  virtual FsError SetSize(FsFile& file, uint64_t size) = 0;
  // Makes what was written durable: on the disk, not only in the system's
  // cache, so that it survives a power cut.
  virtual FsError Flush(FsFile& file) = 0;
  // Closes the file; its error is the last word on what was written.
  virtual FsError Close(FsFile& file) = 0;
  // Gives a file made private (CreateFile) the access it is to have in
  // `dir` once it is renamed into place: that of the file `replaced` there
  // (its mode, and its owner and group where the process may set them; on
  // Windows its own access list), or, for a new file (`replaced` empty),
  // what a new file of the product gets whatever the umask: 0644, or 0755
  // when it is `executable` (on Windows the security `dir` passes on).
  virtual FsError SetInstalledAccess(FsFile& file, FsDir& dir, const std::string& replaced, bool executable) = 0;

  // Makes sure that the file `name` can be renamed away now, and keeps it
  // so until `held` is gone: on Windows a file that another program has
  // open without letting it be deleted is Busy, and once held nobody else
  // can open it; elsewhere nothing keeps a file from being renamed, and
  // `held` may stay empty. A link or anything but a regular file is
  // refused (IsLink, WrongType).
  virtual FsError HoldForReplace(FsDir& dir, const std::string& name, std::unique_ptr<FsFile>& held) = 0;
  // Renames `from` in `fromDir`, held by HoldForReplace as `held` (or not
  // held when null), to the free name `to` in `toDir`.
  virtual FsError RenameHeld(FsFile* held, FsDir& fromDir, const std::string& from, FsDir& toDir,
                             const std::string& to) = 0;

  // Renames `from` in `fromDir` to `to` in `toDir`, replacing a file that
  // stands there; neither name is followed if it is a link. On Windows the
  // running executable is moved aside to make way for its replacement.
  virtual FsError Rename(FsDir& fromDir, const std::string& from, FsDir& toDir, const std::string& to) = 0;
  // Deletes the file `name`, or the link `name` itself; never a directory.
  virtual FsError Delete(FsDir& dir, const std::string& name) = 0;
  // Makes the names created, renamed and deleted in `dir` durable (a
  // system that writes them through at once has nothing to do).
  virtual FsError FlushDir(FsDir& dir) = 0;
  // The bytes the process may still write on the volume of `dir`.
  virtual FsError FreeSpace(FsDir& dir, uint64_t& bytes) = 0;

  // A name under which another component (the CAB library, the signature
  // check) opens exactly the file or directory held here, even when its
  // own name has meanwhile been given to something else (a directory's
  // without a trailing separator). Empty when there is none.
  virtual std::string NameOfOpen(FsFile& file) = 0;
  virtual std::string NameOfOpen(FsDir& dir) = 0;
};

// The system's own file system.
FileSystem& SystemFileSystem();

// The error the system recorded last on this thread (errno, GetLastError)
// as a file error, and its clearing: for a library that tells its failure
// only so (the CAB library: a full disk while unpacking).
void ClearLastSystemError();
FsError LastSystemError();

// Forwards every call to `target`; a test overrides the calls it changes.
class FileSystemWrapper : public FileSystem {
 public:
  explicit FileSystemWrapper(FileSystem& target) : m_target(target) {}
  FileSystem& Target() { return m_target; }

  FsError OpenRoot(const std::string& path, std::unique_ptr<FsDir>& dir) override {
    return m_target.OpenRoot(path, dir);
  }
  FsError OpenDir(FsDir& parent, const std::string& name, std::unique_ptr<FsDir>& dir,
                  const FsDir* linksInside) override {
    return m_target.OpenDir(parent, name, dir, linksInside);
  }
  FsError MakeDir(FsDir& parent, const std::string& name, bool privateToUser) override {
    return m_target.MakeDir(parent, name, privateToUser);
  }
  FsError RemoveDir(FsDir& parent, const std::string& name) override { return m_target.RemoveDir(parent, name); }
  bool IsPrivate(FsDir& dir) override { return m_target.IsPrivate(dir); }
  bool IsPrivate(FsFile& file) override { return m_target.IsPrivate(file); }
  FsError Stat(FsDir& dir, const std::string& name, FsInfo& info) override { return m_target.Stat(dir, name, info); }
  FsError List(FsDir& dir, size_t maxEntries, std::vector<FsEntry>& entries) override {
    return m_target.List(dir, maxEntries, entries);
  }
  FsError CreateFile(FsDir& dir, const std::string& name, bool privateToUser, std::unique_ptr<FsFile>& file) override {
    return m_target.CreateFile(dir, name, privateToUser, file);
  }
  FsError OpenFile(FsDir& dir, const std::string& name, FsAccess access, std::unique_ptr<FsFile>& file) override {
    return m_target.OpenFile(dir, name, access, file);
  }
  FsError Read(FsFile& file, void* buffer, size_t n, size_t& got) override {
    return m_target.Read(file, buffer, n, got);
  }
  FsError Write(FsFile& file, const void* data, size_t n) override { return m_target.Write(file, data, n); }
  FsError Seek(FsFile& file, uint64_t position) override { return m_target.Seek(file, position); }
  FsError SetSize(FsFile& file, uint64_t size) override { return m_target.SetSize(file, size); }
  FsError Flush(FsFile& file) override { return m_target.Flush(file); }
  FsError Close(FsFile& file) override { return m_target.Close(file); }
  FsError SetInstalledAccess(FsFile& file, FsDir& dir, const std::string& replaced, bool executable) override {
    return m_target.SetInstalledAccess(file, dir, replaced, executable);
  }
  FsError HoldForReplace(FsDir& dir, const std::string& name, std::unique_ptr<FsFile>& held) override {
    return m_target.HoldForReplace(dir, name, held);
  }
  FsError RenameHeld(FsFile* held, FsDir& fromDir, const std::string& from, FsDir& toDir,
                     const std::string& to) override {
    return m_target.RenameHeld(held, fromDir, from, toDir, to);
  }
  FsError Rename(FsDir& fromDir, const std::string& from, FsDir& toDir, const std::string& to) override {
    return m_target.Rename(fromDir, from, toDir, to);
  }
  FsError Delete(FsDir& dir, const std::string& name) override { return m_target.Delete(dir, name); }
  FsError FlushDir(FsDir& dir) override { return m_target.FlushDir(dir); }
  FsError FreeSpace(FsDir& dir, uint64_t& bytes) override { return m_target.FreeSpace(dir, bytes); }
  std::string NameOfOpen(FsFile& file) override { return m_target.NameOfOpen(file); }
  std::string NameOfOpen(FsDir& dir) override { return m_target.NameOfOpen(dir); }

 private:
  FileSystem& m_target;
};

// A path split into its directory (up to and including the last
// separator, as FindPathSeparator reads separators) and its last name.
struct PathParts {
  std::string dir;
  std::string name;
};
PathParts SplitPath(const std::string& path);

// Helpers over a FileSystem for a file given by its whole path.
// True when anything stands under `path` (a link that leads nowhere too).
bool PathExists(FileSystem& fs, const std::string& path);
// Deletes the file (or link) `path`; false when nothing was deleted.
bool DeletePath(FileSystem& fs, const std::string& path);
// Copies what is left of `from` to `to`, in bounded memory.
FsError CopyFileData(FileSystem& fs, FsFile& from, FsFile& to);
// Deletes the file `name` of `dir` that the updater made: once more at once
// after a failure, and for about a second while another program holds it (a
// scanner may hold a file that has just been written).
FsError DeleteOwnFile(FileSystem& fs, FsDir& dir, const std::string& name);
// Whether the first bytes of a file make it a program: an ELF image or a
// script ("#!").
bool StartsAsExecutable(std::string_view start);

// Reads the first `maxBytes` bytes (or fewer) of the regular file `path`
// into `text`; false when it cannot be opened (it is no regular file: a
// link, a directory, a device or a pipe is never opened) or read.
bool ReadFileStart(FileSystem& fs, const std::string& path, size_t maxBytes, std::string& text);

}  // namespace quon
