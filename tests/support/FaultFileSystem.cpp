#include "support/FaultFileSystem.h"

#include "support/TempDir.h"

namespace quon::test {

FsError FaultyFileSystem::Before(const char* call, const std::string& name) {
  if (++m_calls == failCall) {
    m_failed = call;
    return failWith;
  }
  return inject ? inject(call, name) : FsError::None;
}

// Each call asks Before() first and goes on to the system only when it
// lets it.
#define QUON_FAULTY_CALL(call, name, ...)                                        \
  if (const FsError injected = Before(#call, name); injected != FsError::None) { \
    return injected;                                                             \
  }                                                                              \
  return FileSystemWrapper::call(__VA_ARGS__)

FsError FaultyFileSystem::OpenRoot(const std::string& path, std::unique_ptr<FsDir>& dir) {
  QUON_FAULTY_CALL(OpenRoot, "", path, dir);
}
FsError FaultyFileSystem::OpenDir(FsDir& parent, const std::string& name, std::unique_ptr<FsDir>& dir,
                                  const FsDir* linksInside) {
  QUON_FAULTY_CALL(OpenDir, name, parent, name, dir, linksInside);
}
FsError FaultyFileSystem::MakeDir(FsDir& parent, const std::string& name, bool privateToUser) {
  QUON_FAULTY_CALL(MakeDir, name, parent, name, privateToUser);
}
FsError FaultyFileSystem::RemoveDir(FsDir& parent, const std::string& name) {
  QUON_FAULTY_CALL(RemoveDir, name, parent, name);
}
FsError FaultyFileSystem::Stat(FsDir& dir, const std::string& name, FsInfo& info) {
  QUON_FAULTY_CALL(Stat, name, dir, name, info);
}
FsError FaultyFileSystem::List(FsDir& dir, size_t maxEntries, std::vector<FsEntry>& entries) {
  QUON_FAULTY_CALL(List, "", dir, maxEntries, entries);
}
FsError FaultyFileSystem::CreateFile(FsDir& dir, const std::string& name, bool privateToUser,
                                     std::unique_ptr<FsFile>& file) {
  QUON_FAULTY_CALL(CreateFile, name, dir, name, privateToUser, file);
}
FsError FaultyFileSystem::OpenFile(FsDir& dir, const std::string& name, FsAccess access,
                                   std::unique_ptr<FsFile>& file) {
  QUON_FAULTY_CALL(OpenFile, name, dir, name, access, file);
}
FsError FaultyFileSystem::Read(FsFile& file, void* buffer, size_t n, size_t& got) {
  QUON_FAULTY_CALL(Read, "", file, buffer, n, got);
}
FsError FaultyFileSystem::Write(FsFile& file, const void* data, size_t n) {
  QUON_FAULTY_CALL(Write, "", file, data, n);
}
FsError FaultyFileSystem::Seek(FsFile& file, uint64_t position) { QUON_FAULTY_CALL(Seek, "", file, position); }
FsError FaultyFileSystem::SetSize(FsFile& file, uint64_t size) { QUON_FAULTY_CALL(SetSize, "", file, size); }
FsError FaultyFileSystem::Flush(FsFile& file) { QUON_FAULTY_CALL(Flush, "", file); }
FsError FaultyFileSystem::Close(FsFile& file) {
  // A file is closed whatever the call says: the failure is only reported.
  const FsError injected = Before("Close", "");
  const FsError closed = FileSystemWrapper::Close(file);
  return injected != FsError::None ? injected : closed;
}
FsError FaultyFileSystem::SetInstalledAccess(FsFile& file, FsDir& dir, const std::string& replaced, bool executable) {
  QUON_FAULTY_CALL(SetInstalledAccess, replaced, file, dir, replaced, executable);
}
FsError FaultyFileSystem::HoldForReplace(FsDir& dir, const std::string& name, std::unique_ptr<FsFile>& held) {
  QUON_FAULTY_CALL(HoldForReplace, name, dir, name, held);
}
FsError FaultyFileSystem::RenameHeld(FsFile* held, FsDir& fromDir, const std::string& from, FsDir& toDir,
                                     const std::string& to) {
  QUON_FAULTY_CALL(RenameHeld, to, held, fromDir, from, toDir, to);
}
FsError FaultyFileSystem::Rename(FsDir& fromDir, const std::string& from, FsDir& toDir, const std::string& to) {
  QUON_FAULTY_CALL(Rename, to, fromDir, from, toDir, to);
}
FsError FaultyFileSystem::Delete(FsDir& dir, const std::string& name) { QUON_FAULTY_CALL(Delete, name, dir, name); }
FsError FaultyFileSystem::FlushDir(FsDir& dir) { QUON_FAULTY_CALL(FlushDir, "", dir); }
FsError FaultyFileSystem::FreeSpace(FsDir& dir, uint64_t& bytes) { QUON_FAULTY_CALL(FreeSpace, "", dir, bytes); }

#undef QUON_FAULTY_CALL

// ---------------------------------------------------------------------------

FsError PowerCutFileSystem::Before(const char* call, const std::string& name) {
  const FsError injected = FaultyFileSystem::Before(call, name);
  // Once the power is gone, nothing reaches the disk any more.
  return CutHappened() ? FsError::IoError : injected;
}

void PowerCutFileSystem::Touch(const std::string& path) {
  if (m_current.count(path) != 0) return;
  int node = kNone;
  std::error_code ec;
  const std::filesystem::path parent = std::filesystem::path(path).parent_path();
  if (m_dirPerms.count(parent.string()) == 0 && std::filesystem::is_directory(parent, ec)) {
    m_dirPerms[parent.string()] = std::filesystem::status(parent, ec).permissions();
  }
  if (std::filesystem::is_regular_file(std::filesystem::path(path), ec)) {
    node = static_cast<int>(m_durableBytes.size());
    m_durableBytes.push_back(ReadFile(path));
    m_durablePerms.push_back(std::filesystem::status(std::filesystem::path(path), ec).permissions());
  }
  m_current[path] = m_durable[path] = node;
}

FsError PowerCutFileSystem::CreateFile(FsDir& dir, const std::string& name, bool privateToUser,
                                       std::unique_ptr<FsFile>& file) {
  const std::string path = dir.Path() + name;
  Touch(path);
  const FsError error = FaultyFileSystem::CreateFile(dir, name, privateToUser, file);
  if (error == FsError::None) {
    m_current[path] = static_cast<int>(m_durableBytes.size());
    m_durableBytes.emplace_back();  // never flushed: nothing of it is on the disk
    std::error_code ec;
    m_durablePerms.push_back(std::filesystem::status(std::filesystem::path(path), ec).permissions());
    m_openPaths[file.get()] = path;
  }
  return error;
}

FsError PowerCutFileSystem::OpenFile(FsDir& dir, const std::string& name, FsAccess access,
                                     std::unique_ptr<FsFile>& file) {
  const std::string path = dir.Path() + name;
  if (access == FsAccess::Modify) Touch(path);
  const FsError error = FaultyFileSystem::OpenFile(dir, name, access, file);
  if (error == FsError::None && access == FsAccess::Modify) m_openPaths[file.get()] = path;
  return error;
}

FsError PowerCutFileSystem::Flush(FsFile& file) {
  const FsError error = FaultyFileSystem::Flush(file);
  const auto open = m_openPaths.find(&file);
  if (error == FsError::None && open != m_openPaths.end() && m_current[open->second] != kNone) {
    m_durableBytes[m_current[open->second]] = ReadFile(open->second);
    std::error_code ec;
    m_durablePerms[m_current[open->second]] =
        std::filesystem::status(std::filesystem::path(open->second), ec).permissions();
  }
  return error;
}

FsError PowerCutFileSystem::Close(FsFile& file) {
  m_openPaths.erase(&file);
  return FaultyFileSystem::Close(file);
}

FsError PowerCutFileSystem::Rename(FsDir& fromDir, const std::string& from, FsDir& toDir, const std::string& to) {
  const std::string source = fromDir.Path() + from, target = toDir.Path() + to;
  Touch(source);
  Touch(target);
  const FsError error = FaultyFileSystem::Rename(fromDir, from, toDir, to);
  if (error == FsError::None) Renamed(source, target);
  return error;
}

void PowerCutFileSystem::Renamed(const std::string& source, const std::string& target) {
  m_current[target] = m_current[source];
  m_current[source] = kNone;
  if (kRenamesWriteThrough) {
    m_durable[target] = m_current[target];
    m_durable[source] = kNone;
  }
  for (auto& [open, path] : m_openPaths) {
    if (path == source) path = target;
  }
}

FsError PowerCutFileSystem::HoldForReplace(FsDir& dir, const std::string& name, std::unique_ptr<FsFile>& held) {
  Touch(dir.Path() + name);  // read while it can be: a held file may refuse the reading
  return FaultyFileSystem::HoldForReplace(dir, name, held);
}

FsError PowerCutFileSystem::RenameHeld(FsFile* held, FsDir& fromDir, const std::string& from, FsDir& toDir,
                                       const std::string& to) {
  const std::string source = fromDir.Path() + from, target = toDir.Path() + to;
  Touch(source);
  Touch(target);
  const FsError error = FaultyFileSystem::RenameHeld(held, fromDir, from, toDir, to);
  if (error == FsError::None) Renamed(source, target);
  return error;
}

FsError PowerCutFileSystem::Delete(FsDir& dir, const std::string& name) {
  const std::string path = dir.Path() + name;
  Touch(path);
  const FsError error = FaultyFileSystem::Delete(dir, name);
  if (error == FsError::None) m_current[path] = kNone;
  return error;
}

FsError PowerCutFileSystem::FlushDir(FsDir& dir) {
  const FsError error = FaultyFileSystem::FlushDir(dir);
  if (error != FsError::None) return error;
  for (const auto& [path, node] : m_current) {
    if (SplitPath(path).dir == dir.Path()) m_durable[path] = node;
  }
  return error;
}

void PowerCutFileSystem::Cut(bool namesLost) {
  for (const auto& [path, current] : m_current) {
    const int node = namesLost ? m_durable[path] : current;
    std::error_code ec;
    if (node == kNone) {
      if (!std::filesystem::is_directory(std::filesystem::path(path), ec)) std::filesystem::remove(path, ec);
    } else {
      // A file the cut brings back has the mode it had, not a new one's, and
      // so has a directory it brings back with it.
      WriteFile(path, m_durableBytes[node].value_or(std::string()));
      std::filesystem::permissions(std::filesystem::path(path), m_durablePerms[node], ec);
      const auto dir = m_dirPerms.find(std::filesystem::path(path).parent_path().string());
      if (dir != m_dirPerms.end()) std::filesystem::permissions(std::filesystem::path(dir->first), dir->second, ec);
    }
  }
}

}  // namespace quon::test
