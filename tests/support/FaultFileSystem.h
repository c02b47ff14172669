// File systems for fault tests, over the system's own: one that fails calls
// on demand, and one whose power is cut after a given call.
#pragma once
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "base/FileSystem.h"

namespace quon::test {

// Whether the system's renames are durable when they return (Windows:
// MOVEFILE_WRITE_THROUGH), or only once their directory is flushed (Linux).
extern const bool kRenamesWriteThrough;
// Whether a folder open to others counts as not this user's own (Linux); on
// Windows only its owner does.
extern const bool kOthersMayWriteMakesItNotPrivate;

// Fails calls on demand: the `failCall`th call (every call counts, from 1)
// with `failWith`, and any call for which `inject` returns a failure.
class FaultyFileSystem : public FileSystemWrapper {
 public:
  FaultyFileSystem() : FileSystemWrapper(SystemFileSystem()) {}

  int failCall = 0;
  FsError failWith = FsError::IoError;
  // Asked before each call with its name ("CreateFile") and the name in a
  // directory it is about (empty when none).
  std::function<FsError(const std::string& call, const std::string& name)> inject;
  int Calls() const { return m_calls; }
  // The call that failed at `failCall`, once it has.
  const std::string& FailedCall() const { return m_failed; }

  FsError OpenRoot(const std::string& path, std::unique_ptr<FsDir>& dir) override;
  FsError OpenDir(FsDir& parent, const std::string& name, std::unique_ptr<FsDir>& dir,
                  const FsDir* linksInside) override;
  FsError MakeDir(FsDir& parent, const std::string& name, bool privateToUser) override;
  FsError RemoveDir(FsDir& parent, const std::string& name) override;
  FsError Stat(FsDir& dir, const std::string& name, FsInfo& info) override;
  FsError List(FsDir& dir, size_t maxEntries, std::vector<FsEntry>& entries) override;
  FsError CreateFile(FsDir& dir, const std::string& name, bool privateToUser, std::unique_ptr<FsFile>& file) override;
  FsError OpenFile(FsDir& dir, const std::string& name, FsAccess access, std::unique_ptr<FsFile>& file) override;
  FsError Read(FsFile& file, void* buffer, size_t n, size_t& got) override;
  FsError Write(FsFile& file, const void* data, size_t n) override;
  FsError Seek(FsFile& file, uint64_t position) override;
  FsError SetSize(FsFile& file, uint64_t size) override;
  FsError Flush(FsFile& file) override;
  FsError Close(FsFile& file) override;
  FsError SetInstalledAccess(FsFile& file, FsDir& dir, const std::string& replaced, bool executable) override;
  FsError HoldForReplace(FsDir& dir, const std::string& name, std::unique_ptr<FsFile>& held) override;
  FsError RenameHeld(FsFile* held, FsDir& fromDir, const std::string& from, FsDir& toDir,
                     const std::string& to) override;
  FsError Rename(FsDir& fromDir, const std::string& from, FsDir& toDir, const std::string& to) override;
  FsError Delete(FsDir& dir, const std::string& name) override;
  FsError FlushDir(FsDir& dir) override;
  FsError FreeSpace(FsDir& dir, uint64_t& bytes) override;

 protected:
  // Runs before every call; a failure it returns is the call's result, and
  // the call is not made.
  virtual FsError Before(const char* call, const std::string& name);

 private:
  int m_calls = 0;
  std::string m_failed;
};

// Keeps apart what has not been made durable, as a disk's cache does, and
// after the `cutAfter`th call makes no more calls: the power is gone. Cut()
// then leaves the files as the disk may hold them after the restart.
class PowerCutFileSystem : public FaultyFileSystem {
 public:
  explicit PowerCutFileSystem(int cutAfter) : m_cutAfter(cutAfter) {}
  bool CutHappened() const { return Calls() > m_cutAfter; }
  // Every file touched holds the bytes it held when it was last flushed
  // (a new file never flushed is empty). With `namesLost`, every name
  // created, renamed or deleted since its directory was last flushed is
  // back as it was (renames of a system that writes them through excepted).
  void Cut(bool namesLost);

  FsError CreateFile(FsDir& dir, const std::string& name, bool privateToUser, std::unique_ptr<FsFile>& file) override;
  FsError OpenFile(FsDir& dir, const std::string& name, FsAccess access, std::unique_ptr<FsFile>& file) override;
  FsError Flush(FsFile& file) override;
  FsError Close(FsFile& file) override;
  FsError Rename(FsDir& fromDir, const std::string& from, FsDir& toDir, const std::string& to) override;
  FsError HoldForReplace(FsDir& dir, const std::string& name, std::unique_ptr<FsFile>& held) override;
  FsError RenameHeld(FsFile* held, FsDir& fromDir, const std::string& from, FsDir& toDir,
                     const std::string& to) override;
  FsError Delete(FsDir& dir, const std::string& name) override;
  FsError FlushDir(FsDir& dir) override;

 protected:
  FsError Before(const char* call, const std::string& name) override;

 private:
  static constexpr int kNone = -1;
  // The node a path stands for now, and durably; read from the disk when
  // the path is first touched.
  void Touch(const std::string& path);
  // Records a rename in the model.
  void Renamed(const std::string& source, const std::string& target);

  int m_cutAfter;
  std::vector<std::optional<std::string>> m_durableBytes;  // by node
  std::vector<std::filesystem::perms> m_durablePerms;      // by node, as last flushed
  std::map<std::string, std::filesystem::perms> m_dirPerms;  // the directories of the paths touched
  std::map<std::string, int> m_current, m_durable;         // by path
  std::map<const FsFile*, std::string> m_openPaths;        // files written, by where they are
};

}  // namespace quon::test
