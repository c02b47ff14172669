// The file a download writes: opened new or at the position the server
// resumes from, written block by block, cut to its length at the end. Its
// failures carry the file-error table's message for the path.
#pragma once
#include <cstdint>
#include <cstdio>
#include <stdexcept>
#include <string>

#include "base/SystemError.h"

namespace quon {

class FileException : public std::runtime_error {
 public:
  FileException(FileCause cause, const std::string& path) : std::runtime_error(FileErrorMessage(cause, path)) {}
};

// Unbuffered, so that every block is in the file once its write returns and
// nothing is left to flush after an abandonment.
class DownloadFile {
 public:
  DownloadFile() = default;
  ~DownloadFile();
  DownloadFile(const DownloadFile&) = delete;
  DownloadFile& operator=(const DownloadFile&) = delete;

  // Opens the file, truncated or as it is (created when missing). Returns 0
  // or the errno of the failure.
  int Open(const std::string& path, bool truncate);
  // Throws FileException on failure.
  void Seek(int64_t position);
  void Write(const char* data, size_t n);
  // Closes the file and, when the data started inside it, cuts it to
  // `length` (a new or truncated file already ends there).
  void Finish(bool setLength, uint64_t length);

 private:
  std::FILE* m_file = nullptr;
  std::string m_path;
};

}  // namespace quon
