#include "net/DownloadTarget.h"

namespace quon {

FsError DownloadTarget::Open(const std::string& path, bool truncate) {
  m_path = path;
  const PathParts parts = SplitPath(path);
  if (parts.name.empty()) return FsError::NotFound;
  m_name = parts.name;
  FsError error = m_fs.OpenRoot(parts.dir, m_dir);
  if (error == FsError::None) error = m_fs.CreateFile(*m_dir, parts.name, true, m_file);
  if (error != FsError::Exists) return error;
  error = m_fs.OpenFile(*m_dir, parts.name, FsAccess::Modify, m_file);
  if (error == FsError::None && truncate) error = m_fs.SetSize(*m_file, 0);
  return error;
}

void DownloadTarget::Seek(int64_t position) {
  if (position < 0 || m_fs.Seek(*m_file, static_cast<uint64_t>(position)) != FsError::None) {
    throw FileException(FileCause::BadSeek, m_path);
  }
}

void DownloadTarget::Write(const char* data, size_t n) {
  const FsError error = m_fs.Write(*m_file, data, n);
  if (error != FsError::None) throw FileException(FileCauseOf(error), m_path);
}

void DownloadTarget::Finish(bool setLength, uint64_t length) {
  FsError error = setLength ? m_fs.SetSize(*m_file, length) : FsError::None;
  const FsError closed = m_fs.Close(*m_file);
  if (error == FsError::None) error = closed;
  if (error != FsError::None) throw FileException(FileCauseOf(error), m_path);
}

void DownloadTarget::Discard() {
  if (!m_dir) return;
  const FsError error = m_fs.Delete(*m_dir, m_name);
  if (error != FsError::None) throw FileException(FileCauseOf(error), m_path);
}

}  // namespace quon
