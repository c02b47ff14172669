// An archive opened for one download: read by offset, so that any number
// of downloads can share nothing but the file system.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace quon::server {

class ArchiveFile;

// The root directory of a catalog, opened once when the catalog is read.
// Archives are opened beneath it, one path component at a time, without
// following any symbolic link: a folder replaced by a link after the
// catalog was read cannot lead a download out of the root.
class ArchiveRoot {
 public:
  // Null when the directory cannot be opened.
  static std::shared_ptr<ArchiveRoot> Open(const std::string& directory);
  ~ArchiveRoot();
  ArchiveRoot(const ArchiveRoot&) = delete;
  ArchiveRoot& operator=(const ArchiveRoot&) = delete;

  // `relative`: '/'-separated, without '.', '..' or empty components, and
  // without links (as the catalog resolved it). Null when any component is
  // a link or missing, or the file is not a regular file.
  std::shared_ptr<ArchiveFile> OpenArchive(const std::string& relative) const;

 private:
  explicit ArchiveRoot(int fd) : m_fd(fd) {}
  int m_fd;
};

class ArchiveFile {
 public:
  ~ArchiveFile();
  ArchiveFile(const ArchiveFile&) = delete;
  ArchiveFile& operator=(const ArchiveFile&) = delete;

  // The length when it was opened.
  uint64_t Size() const { return m_size; }
  // Reads up to n bytes at the offset: the count read, 0 at the end, -1 on
  // an error.
  long ReadAt(char* buffer, size_t n, uint64_t offset) const;
  // Whether the file is still as it was when it was opened: same length,
  // not written to since. An archive replaced by rename stays unchanged
  // here (this is the old file, read to its end); one written over in
  // place does not.
  bool Unchanged() const;

  // What tells one version of a file from another: the file (device and
  // inode), its length and its modification time when it was opened. A
  // file replaced by rename, or written over, has another.
  struct Stamp {
    uint64_t device;
    uint64_t inode;
    uint64_t size;
    int64_t modified[2];
    bool operator<(const Stamp& o) const;
    bool operator==(const Stamp& o) const;
  };
  const Stamp& Identity() const { return m_stamp; }

 private:
  friend class ArchiveRoot;
  static bool StampOf(int fd, Stamp& stamp);
  ArchiveFile(int fd, const Stamp& stamp) : m_fd(fd), m_size(stamp.size), m_stamp(stamp) {}
  int m_fd;
  uint64_t m_size;
  Stamp m_stamp;
};

}  // namespace quon::server
