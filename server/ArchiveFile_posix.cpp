#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <tuple>

#include "ArchiveFile.h"

namespace quon::server {

std::shared_ptr<ArchiveRoot> ArchiveRoot::Open(const std::string& directory) {
  const int fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return nullptr;
  return std::shared_ptr<ArchiveRoot>(new ArchiveRoot(fd));
}

ArchiveRoot::~ArchiveRoot() { close(m_fd); }

std::shared_ptr<ArchiveFile> ArchiveRoot::OpenArchive(const std::string& relative) const {
  // Each folder is opened relative to the one before it with O_NOFOLLOW, so
  // a link anywhere on the way fails the open instead of being followed.
  int dir = m_fd;
  size_t start = 0;
  for (;;) {
    const size_t slash = relative.find('/', start);
    const std::string part = relative.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
    const bool last = slash == std::string::npos;
    int fd = -1;
    if (!part.empty() && part != "." && part != "..")
      fd = openat(dir, part.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | (last ? O_NONBLOCK : O_DIRECTORY));
    if (dir != m_fd) close(dir);
    if (fd < 0) return nullptr;
    if (last) {
      struct stat st {};
      ArchiveFile::Stamp stamp{};
      if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || !ArchiveFile::StampOf(fd, stamp)) {
        close(fd);
        return nullptr;
      }
      posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
      return std::shared_ptr<ArchiveFile>(new ArchiveFile(fd, stamp));
    }
    dir = fd;
    start = slash + 1;
  }
}

ArchiveFile::~ArchiveFile() { close(m_fd); }

bool ArchiveFile::StampOf(int fd, Stamp& stamp) {
  struct stat st {};
  if (fstat(fd, &st) != 0) return false;
  stamp = {static_cast<uint64_t>(st.st_dev),
           static_cast<uint64_t>(st.st_ino),
           static_cast<uint64_t>(st.st_size),
           {st.st_mtim.tv_sec, st.st_mtim.tv_nsec}};
  return true;
}

bool ArchiveFile::Stamp::operator<(const Stamp& o) const {
  return std::tie(device, inode, size, modified[0], modified[1]) <
         std::tie(o.device, o.inode, o.size, o.modified[0], o.modified[1]);
}

bool ArchiveFile::Stamp::operator==(const Stamp& o) const { return !(*this < o) && !(o < *this); }

bool ArchiveFile::Unchanged() const {
  Stamp now{};
  return StampOf(m_fd, now) && now == m_stamp;
}

long ArchiveFile::ReadAt(char* buffer, size_t n, uint64_t offset) const {
  for (;;) {
    const ssize_t got = pread(m_fd, buffer, n, static_cast<off_t>(offset));
    if (got < 0 && errno == EINTR) continue;
    return static_cast<long>(got);
  }
}

}  // namespace quon::server
