#include "base/FileSystem.h"

#include <algorithm>

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
