// Linux: a replaced file's mode, and as root its owner and group, carry over
// to the file that replaces it.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "update/FileSystem.h"

namespace quon {

std::FILE* CreateNewFile(const std::string& path, FsFailure& failure) {
  failure = FsFailure::Other;
  if (HasNul(path)) return nullptr;
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, 0666);
  if (fd < 0) {
    if (errno == EEXIST) failure = FsFailure::Exists;
    if (errno == EACCES || errno == EPERM) failure = FsFailure::Refused;
    return nullptr;
  }
  std::FILE* file = ::fdopen(fd, "wb");
  if (file == nullptr) {
    ::close(fd);
    ::unlink(path.c_str());
    return nullptr;
  }
  failure = FsFailure::None;
  return file;
}

std::FILE* OpenFileInPlace(const std::string& path) {
  if (HasNul(path)) return nullptr;
  const int fd = ::open(path.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return nullptr;
  struct stat st;
  std::FILE* file = nullptr;
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) file = ::fdopen(fd, "wb");
  if (file == nullptr) ::close(fd);
  return file;
}

void KeepAccessOf(const std::string& original, std::FILE* file) {
  struct stat st;
  if (HasNul(original) || ::stat(original.c_str(), &st) != 0) return;
  const int fd = ::fileno(file);
  // Owner and group first: changing them clears the set-user and set-group
  // bits, which the mode then restores.
  if (::geteuid() == 0) {
    const int owned = ::fchown(fd, st.st_uid, st.st_gid);
    (void)owned;  // otherwise the new file stays the process's own
  }
  ::fchmod(fd, st.st_mode & 07777);
}

FsFailure RenameOver(const std::string& from, const std::string& to) {
  if (HasNul(from) || HasNul(to)) return FsFailure::Other;
  if (::rename(from.c_str(), to.c_str()) == 0) return FsFailure::None;
  switch (errno) {
    case EBUSY:
    case ETXTBSY:
    case EACCES:
    case EPERM:
      return FsFailure::Busy;
    default:
      return FsFailure::Other;
  }
}

}  // namespace quon
