#include "base/FileSystem.h"

#include <algorithm>
#include <chrono>
#include <thread>
#include <vector>

#include "base/FsPath.h"

namespace quon {

FileCause FileCauseOf(FsError error) {
  switch (error) {
    case FsError::NotFound:
      return FileCause::NotFound;
    case FsError::BadName:
      return FileCause::BadPath;
    case FsError::Exists:
    case FsError::IsLink:
    case FsError::WrongType:
    case FsError::Refused:
      return FileCause::AccessDenied;
    case FsError::Busy:
      return FileCause::SharingViolation;
    case FsError::DiskFull:
      return FileCause::DiskFull;
    case FsError::IoError:
      return FileCause::HardIO;
    case FsError::None:
    case FsError::Other:
      break;
  }
  return FileCause::Generic;
}

PathParts SplitPath(const std::string& path) {
  size_t last = std::string::npos;
  for (size_t at = FindPathSeparator(path); at != std::string::npos; at = FindPathSeparator(path, at + 1)) last = at;
  if (last == std::string::npos) return PathParts{std::string(), path};
  return PathParts{path.substr(0, last + 1), path.substr(last + 1)};
}

bool PathExists(FileSystem& fs, const std::string& path) {
  const PathParts parts = SplitPath(path);
  std::unique_ptr<FsDir> dir;
  if (parts.dir.empty() || parts.name.empty() || fs.OpenRoot(parts.dir, dir) != FsError::None) return false;
  FsInfo info;
  return fs.Stat(*dir, parts.name, info) == FsError::None;
}

bool DeletePath(FileSystem& fs, const std::string& path) {
  const PathParts parts = SplitPath(path);
  std::unique_ptr<FsDir> dir;
  if (parts.dir.empty() || parts.name.empty() || fs.OpenRoot(parts.dir, dir) != FsError::None) return false;
  return fs.Delete(*dir, parts.name) == FsError::None;
}

FsError CopyFileData(FileSystem& fs, FsFile& from, FsFile& to) {
  std::vector<char> buffer(size_t(1) << 20);
  for (;;) {
    size_t got = 0;
    if (const FsError error = fs.Read(from, buffer.data(), buffer.size(), got); error != FsError::None) return error;
    if (got == 0) return FsError::None;
    if (const FsError error = fs.Write(to, buffer.data(), got); error != FsError::None) return error;
  }
}

FsError DeleteOwnFile(FileSystem& fs, FsDir& dir, const std::string& name) {
  constexpr int kBusyTries = 6;
  constexpr auto kBusyPause = std::chrono::milliseconds(200);
  FsError error = FsError::None;
  for (int attempt = 0; attempt < kBusyTries; ++attempt) {
    error = fs.Delete(dir, name);
    if (error == FsError::None || error == FsError::NotFound) return FsError::None;
    const bool busy = error == FsError::Busy || error == FsError::Refused;
    if (!busy && attempt > 0) break;
    if (busy) std::this_thread::sleep_for(kBusyPause);
  }
  return error;
}

bool StartsAsExecutable(std::string_view start) {
  return start.substr(0, 4) == std::string_view("\x7f" "ELF", 4) || start.substr(0, 2) == "#!";
}

bool ReadFileStart(FileSystem& fs, const std::string& path, size_t maxBytes, std::string& text) {
  text.clear();
  const PathParts parts = SplitPath(path);
  std::unique_ptr<FsDir> dir;
  std::unique_ptr<FsFile> file;
  if (parts.dir.empty() || parts.name.empty() || fs.OpenRoot(parts.dir, dir) != FsError::None ||
      fs.OpenFile(*dir, parts.name, FsAccess::Read, file) != FsError::None) {
    return false;
  }
  char buffer[4096];
  while (text.size() < maxBytes) {
    size_t got = 0;
    if (fs.Read(*file, buffer, std::min(sizeof buffer, maxBytes - text.size()), got) != FsError::None) return false;
    if (got == 0) break;
    text.append(buffer, got);
  }
  return true;
}

}  // namespace quon
