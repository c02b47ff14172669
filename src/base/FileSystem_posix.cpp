// Linux: every name is resolved from a directory's descriptor (the *at
// calls) with O_NOFOLLOW, so a link on the way is seen, never followed.
// New files are created exclusively; flushing is fsync, of files and of the
// directories whose names changed; a long write starts the kernel's
// write-back as it goes, so that its flush has little left to wait for.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "base/FileSystem.h"

namespace quon {

namespace {

// A file written this far past the start of its last write-back gets the
// next one started.
constexpr uint64_t kWriteBackBytes = uint64_t(8) << 20;
// How far up from a linked directory its place is looked for.
constexpr int kMaxLinkAncestors = 256;

FsError ErrorOf(int error) {
  switch (error) {
    case 0:
      return FsError::None;
    case ENOENT:
      return FsError::NotFound;
    case EEXIST:
    case ENOTEMPTY:
      return FsError::Exists;
    case ELOOP:
      return FsError::IsLink;
    case ENOTDIR:
    case EISDIR:
      return FsError::WrongType;
    case EACCES:
    case EPERM:
    case EROFS:
      return FsError::Refused;
    case EBUSY:
    case ETXTBSY:
      return FsError::Busy;
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
      return FsError::DiskFull;
    case EIO:
      return FsError::IoError;
    default:
      return FsError::Other;
  }
}

FsError LastError() { return ErrorOf(errno); }

// One name inside a directory: never empty, never a path, never "." or "..".
bool IsPlainName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
         name.find('\0') == std::string::npos;
}

class PosixDir : public FsDir {
 public:
  PosixDir(std::string path, int fd) : FsDir(std::move(path)), fd(fd) {}
  ~PosixDir() override { ::close(fd); }
  const int fd;
};

class PosixFile : public FsFile {
 public:
  PosixFile(std::string path, int fd) : FsFile(std::move(path)), fd(fd) {}
  ~PosixFile() override {
    if (fd >= 0) ::close(fd);
  }
  int fd;
  uint64_t position = 0;
  uint64_t writeBackFrom = 0;  // where the write-back not yet started begins
};

int Fd(const FsDir& dir) { return static_cast<const PosixDir&>(dir).fd; }
PosixFile& Posix(FsFile& file) { return static_cast<PosixFile&>(file); }

std::string ChildPath(FsDir& parent, const std::string& name) { return parent.Path() + name + "/"; }

bool SameNode(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// Whether the directory `fd` lies inside the directory `root`: its parents,
// followed through "..", reach `root` before they reach the top.
bool LiesInside(int fd, int root) {
  struct stat rootStat, st;
  if (::fstat(root, &rootStat) != 0 || ::fstat(fd, &st) != 0) return false;
  int current = ::dup(fd);
  bool inside = false;
  for (int step = 0; current >= 0 && step < kMaxLinkAncestors; ++step) {
    const int up = ::openat(current, "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    struct stat upStat;
    const bool read = up >= 0 && ::fstat(up, &upStat) == 0;
    ::close(current);
    current = up;
    if (!read) break;
    if (SameNode(upStat, rootStat)) {
      inside = true;
      break;
    }
    if (SameNode(upStat, st)) break;  // the top: ".." is itself
    st = upStat;
  }
  if (current >= 0) ::close(current);
  return inside;
}

class PosixFileSystem : public FileSystem {
 public:
  FsError OpenRoot(const std::string& path, std::unique_ptr<FsDir>& dir) override {
    if (path.empty() || path.find('\0') != std::string::npos) return FsError::NotFound;
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return LastError();
    dir = std::make_unique<PosixDir>(path.back() == '/' ? path : path + "/", fd);
    return FsError::None;
  }

  FsError OpenDir(FsDir& parent, const std::string& name, std::unique_ptr<FsDir>& dir,
                  const FsDir* linksInside) override {
    if (!IsPlainName(name)) return FsError::BadName;
    int fd = ::openat(Fd(parent), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
      const FsError error = LastError();
      struct stat st;
      if (::fstatat(Fd(parent), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISLNK(st.st_mode)) return error;
      if (linksInside == nullptr) return FsError::IsLink;
      fd = ::openat(Fd(parent), name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOCTTY);
      if (fd < 0) return FsError::IsLink;
      if (!LiesInside(fd, Fd(*linksInside))) {
        ::close(fd);
        return FsError::IsLink;
      }
    }
    dir = std::make_unique<PosixDir>(ChildPath(parent, name), fd);
    return FsError::None;
  }

  FsError MakeDir(FsDir& parent, const std::string& name, bool privateToUser) override {
    if (!IsPlainName(name)) return FsError::BadName;
    const mode_t mode = privateToUser ? 0700 : 0755;
    if (::mkdirat(Fd(parent), name.c_str(), mode) != 0) return LastError();
    // The mode whatever the umask: it may have taken bits away (never
    // added any, so the directory was never more open than this).
    const int fd = ::openat(Fd(parent), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    const bool set = fd >= 0 && ::fchmod(fd, mode) == 0;
    if (fd >= 0) ::close(fd);
    if (set) return FsError::None;
    const FsError error = LastError();
    ::unlinkat(Fd(parent), name.c_str(), AT_REMOVEDIR);
    return error;
  }

  FsError RemoveDir(FsDir& parent, const std::string& name) override {
    if (!IsPlainName(name)) return FsError::BadName;
    return ::unlinkat(Fd(parent), name.c_str(), AT_REMOVEDIR) == 0 ? FsError::None : LastError();
  }

  bool IsPrivate(FsDir& dir) override {
    struct stat st;
    return ::fstat(Fd(dir), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() && (st.st_mode & 077) == 0;
  }

  bool IsPrivate(FsFile& file) override {
    struct stat st;
    return ::fstat(Posix(file).fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::geteuid() &&
           (st.st_mode & 077) == 0 && st.st_nlink == 1;
  }

  FsError Stat(FsDir& dir, const std::string& name, FsInfo& info) override {
    if (!IsPlainName(name)) return FsError::BadName;
    struct stat st;
    if (::fstatat(Fd(dir), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return LastError();
    info.type = S_ISREG(st.st_mode)   ? FsType::File
                : S_ISDIR(st.st_mode) ? FsType::Directory
                : S_ISLNK(st.st_mode) ? FsType::Link
                                      : FsType::Other;
    info.size = static_cast<uint64_t>(st.st_size);
    info.ownerWritable = (st.st_mode & S_IWUSR) != 0;
    return FsError::None;
  }

  FsError List(FsDir& dir, size_t maxEntries, std::vector<FsEntry>& entries) override {
    entries.clear();
    const int reader = ::openat(Fd(dir), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* handle = reader >= 0 ? ::fdopendir(reader) : nullptr;
    if (handle == nullptr) {
      const FsError error = LastError();
      if (reader >= 0) ::close(reader);
      return error;
    }
    size_t looked = 0;
    while (looked < maxEntries) {
      errno = 0;
      const dirent* entry = ::readdir(handle);
      if (entry == nullptr) break;
      const std::string name = entry->d_name;
      if (name == "." || name == "..") continue;
      ++looked;
      FsType type = entry->d_type == DT_REG   ? FsType::File
                    : entry->d_type == DT_DIR ? FsType::Directory
                    : entry->d_type == DT_LNK ? FsType::Link
                                              : FsType::Other;
      if (entry->d_type == DT_UNKNOWN) {
        FsInfo info;
        if (Stat(dir, name, info) == FsError::None) type = info.type;
      }
      entries.push_back(FsEntry{name, type});
    }
    const FsError error = errno != 0 ? LastError() : FsError::None;
    ::closedir(handle);
    return error;
  }

  FsError CreateFile(FsDir& dir, const std::string& name, bool privateToUser, std::unique_ptr<FsFile>& file) override {
    if (!IsPlainName(name)) return FsError::BadName;
    const int fd = ::openat(Fd(dir), name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY,
                            privateToUser ? 0600 : 0666);
    if (fd < 0) return LastError();
    // The umask may have taken the owner's own bits away.
    if (privateToUser && ::fchmod(fd, 0600) != 0) {
      const FsError error = LastError();
      ::close(fd);
      ::unlinkat(Fd(dir), name.c_str(), 0);
      return error;
    }
    file = std::make_unique<PosixFile>(dir.Path() + name, fd);
    return FsError::None;
  }

  FsError OpenFile(FsDir& dir, const std::string& name, FsAccess access, std::unique_ptr<FsFile>& file) override {
    if (!IsPlainName(name)) return FsError::BadName;
    const int mode = access == FsAccess::Read ? O_RDONLY : O_WRONLY;
    // Non-blocking, so that a FIFO put under the name cannot hold the open;
    // only a regular file is kept.
    const int fd = ::openat(Fd(dir), name.c_str(), mode | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return LastError();
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
      ::close(fd);
      return FsError::WrongType;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    file = std::make_unique<PosixFile>(dir.Path() + name, fd);
    return FsError::None;
  }

  FsError Read(FsFile& file, void* buffer, size_t n, size_t& got) override {
    PosixFile& f = Posix(file);
    for (;;) {
      const ssize_t r = ::read(f.fd, buffer, n);
      if (r >= 0) {
        got = static_cast<size_t>(r);
        f.position += got;
        return FsError::None;
      }
      if (errno != EINTR) return LastError();
    }
  }

  FsError Write(FsFile& file, const void* data, size_t n) override {
    PosixFile& f = Posix(file);
    const char* p = static_cast<const char*>(data);
    while (n > 0) {
      const ssize_t w = ::write(f.fd, p, n);
      if (w < 0) {
        if (errno == EINTR) continue;
        return LastError();
      }
      p += w;
      n -= static_cast<size_t>(w);
      f.position += static_cast<uint64_t>(w);
    }
    if (f.position >= f.writeBackFrom + kWriteBackBytes) {
      // A hint only: where it is not supported the flush does it all.
      ::sync_file_range(f.fd, static_cast<off_t>(f.writeBackFrom), static_cast<off_t>(f.position - f.writeBackFrom),
                        SYNC_FILE_RANGE_WRITE);
      f.writeBackFrom = f.position;
    }
    return FsError::None;
  }

  FsError Seek(FsFile& file, uint64_t position) override {
    PosixFile& f = Posix(file);
    if (::lseek(f.fd, static_cast<off_t>(position), SEEK_SET) < 0) return LastError();
    f.position = position;
    f.writeBackFrom = position;
    return FsError::None;
  }

  FsError SetSize(FsFile& file, uint64_t size) override {
    return ::ftruncate(Posix(file).fd, static_cast<off_t>(size)) == 0 ? FsError::None : LastError();
  }

  FsError Flush(FsFile& file) override { return ::fsync(Posix(file).fd) == 0 ? FsError::None : LastError(); }

  FsError Close(FsFile& file) override {
    PosixFile& f = Posix(file);
    if (f.fd < 0) return FsError::None;
    const int result = ::close(f.fd);
    f.fd = -1;
    // The descriptor is gone whatever close says; EINTR loses nothing.
    return result == 0 || errno == EINTR ? FsError::None : LastError();
  }

  FsError SetInstalledAccess(FsFile& file, FsDir& dir, const std::string& replaced, bool executable) override {
    const int fd = Posix(file).fd;
    if (replaced.empty()) return ::fchmod(fd, executable ? 0755 : 0644) == 0 ? FsError::None : LastError();
    if (!IsPlainName(replaced)) return FsError::BadName;
    struct stat st;
    if (::fstatat(Fd(dir), replaced.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return LastError();
    if (!S_ISREG(st.st_mode)) return FsError::WrongType;
    // Owner and group first: changing them clears the set-user and
    // set-group bits, which the mode then restores. Only root gives a file
    // another owner; a member of the file's group may give it that group.
    if (::geteuid() == 0 && ::fchown(fd, st.st_uid, st.st_gid) != 0) return LastError();
    if (::geteuid() != 0 && ::fchown(fd, static_cast<uid_t>(-1), st.st_gid) != 0 && errno != EPERM) {
      return LastError();
    }
    return ::fchmod(fd, st.st_mode & 07777) == 0 ? FsError::None : LastError();
  }

  // Nothing keeps a file from being renamed here: the name is only checked.
  FsError HoldForReplace(FsDir& dir, const std::string& name, std::unique_ptr<FsFile>& held) override {
    held.reset();
    if (!IsPlainName(name)) return FsError::BadName;
    struct stat st;
    if (::fstatat(Fd(dir), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return LastError();
    if (S_ISLNK(st.st_mode)) return FsError::IsLink;
    return S_ISREG(st.st_mode) ? FsError::None : FsError::WrongType;
  }

  FsError RenameHeld(FsFile*, FsDir& fromDir, const std::string& from, FsDir& toDir, const std::string& to) override {
    if (!IsPlainName(from) || !IsPlainName(to)) return FsError::BadName;
    // The name `to` must be free: renameat2's RENAME_NOREPLACE where the
    // file system has it, else a check just before.
    if (::renameat2(Fd(fromDir), from.c_str(), Fd(toDir), to.c_str(), RENAME_NOREPLACE) == 0) return FsError::None;
    if (errno != EINVAL && errno != ENOSYS) return LastError();
    struct stat st;
    if (::fstatat(Fd(toDir), to.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) return FsError::Exists;
    return ::renameat(Fd(fromDir), from.c_str(), Fd(toDir), to.c_str()) == 0 ? FsError::None : LastError();
  }

  FsError Rename(FsDir& fromDir, const std::string& from, FsDir& toDir, const std::string& to) override {
    if (!IsPlainName(from) || !IsPlainName(to)) return FsError::BadName;
    return ::renameat(Fd(fromDir), from.c_str(), Fd(toDir), to.c_str()) == 0 ? FsError::None : LastError();
  }

  FsError Delete(FsDir& dir, const std::string& name) override {
    if (!IsPlainName(name)) return FsError::BadName;
    return ::unlinkat(Fd(dir), name.c_str(), 0) == 0 ? FsError::None : LastError();
  }

  FsError FlushDir(FsDir& dir) override {
    // A file system that cannot flush a directory says EINVAL: its names
    // are as durable as it makes them.
    return ::fsync(Fd(dir)) == 0 || errno == EINVAL ? FsError::None : LastError();
  }

  FsError FreeSpace(FsDir& dir, uint64_t& bytes) override {
    struct statvfs vfs;
    if (::fstatvfs(Fd(dir), &vfs) != 0) return LastError();
    bytes = static_cast<uint64_t>(vfs.f_bavail) * vfs.f_frsize;
    return FsError::None;
  }

  std::string NameOfOpen(FsFile& file) override { return DescriptorName(Posix(file).fd); }
  std::string NameOfOpen(FsDir& dir) override { return DescriptorName(Fd(dir)); }

 private:
  // /proc/self/fd/N reopens the very file behind descriptor N; empty
  // where /proc is not there to do so.
  static std::string DescriptorName(int fd) {
    const std::string name = "/proc/self/fd/" + std::to_string(fd);
    struct stat viaName, viaFd;
    if (fd < 0 || ::stat(name.c_str(), &viaName) != 0 || ::fstat(fd, &viaFd) != 0 || !SameNode(viaName, viaFd)) {
      return std::string();
    }
    return name;
  }
};

}  // namespace

void ClearLastSystemError() { errno = 0; }
FsError LastSystemError() { return ErrorOf(errno); }

FileSystem& SystemFileSystem() {
  static PosixFileSystem fs;
  return fs;
}

}  // namespace quon
