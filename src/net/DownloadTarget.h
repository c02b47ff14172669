// The file a download writes: created new and private to this user, or an
// existing regular file opened as it is or truncated (never through a link,
// never anything but a regular file), written block by block from the
// position the server resumes from, cut to its length at the end. Its
// failures carry the file-error table's message for the path.
#pragma once
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

#include "base/FileSystem.h"
#include "base/SystemError.h"

namespace quon {

class FileException : public std::runtime_error {
 public:
  FileException(FileCause cause, const std::string& path) : std::runtime_error(FileErrorMessage(cause, path)) {}
};

// Unbuffered, so that every block is in the file once its write returns and
// nothing is left to flush after an abandonment.
class DownloadTarget {
 public:
  DownloadTarget() = default;
  DownloadTarget(const DownloadTarget&) = delete;
  DownloadTarget& operator=(const DownloadTarget&) = delete;

  // Opens the file, truncated or as it is (created when missing).
  // FsError::None, or why it could not be opened.
  FsError Open(const std::string& path, bool truncate);
  // Throws FileException on failure.
  void Seek(int64_t position);
  void Write(const char* data, size_t n);
  // Closes the file and, when the data started inside it, cuts it to
  // `length` (a new file already ends there).
  void Finish(bool setLength, uint64_t length);
  // Deletes the file (after Finish): an archive that failed its check is
  // not left behind. Throws FileException on failure.
  void Discard();

 private:
  FileSystem& m_fs = SystemFileSystem();
  std::unique_ptr<FsDir> m_dir;
  std::unique_ptr<FsFile> m_file;
  std::string m_path;
  std::string m_name;
};

}  // namespace quon
