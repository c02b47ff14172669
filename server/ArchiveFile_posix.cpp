#include "ArchiveFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace quon::server {

std::shared_ptr<ArchiveFile> ArchiveFile::Open(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return nullptr;
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return nullptr;
  }
  posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  return std::shared_ptr<ArchiveFile>(new ArchiveFile(fd, static_cast<uint64_t>(st.st_size)));
}

ArchiveFile::~ArchiveFile() { close(m_fd); }

long ArchiveFile::ReadAt(char* buffer, size_t n, uint64_t offset) const {
  for (;;) {
    const ssize_t got = pread(m_fd, buffer, n, static_cast<off_t>(offset));
    if (got < 0 && errno == EINTR) continue;
    return static_cast<long>(got);
  }
}

}  // namespace quon::server
