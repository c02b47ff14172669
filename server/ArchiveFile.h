// An archive opened for one download: read by offset, so that any number
// of downloads can share nothing but the file system.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace quon::server {

class ArchiveFile {
 public:
  // Opens a regular file for reading (not through a symbolic link in its
  // last component); null when that fails.
  static std::shared_ptr<ArchiveFile> Open(const std::string& path);
  ~ArchiveFile();
  ArchiveFile(const ArchiveFile&) = delete;
  ArchiveFile& operator=(const ArchiveFile&) = delete;

  // The length when it was opened.
  uint64_t Size() const { return m_size; }
  // Reads up to n bytes at the offset: the count read, 0 at the end, -1 on
  // an error.
  long ReadAt(char* buffer, size_t n, uint64_t offset) const;

 private:
  ArchiveFile(int fd, uint64_t size) : m_fd(fd), m_size(size) {}
  int m_fd;
  uint64_t m_size;
};

}  // namespace quon::server
