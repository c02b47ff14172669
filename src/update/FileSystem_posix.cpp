// Linux: list entries are mapped from Windows-1252 to UTF-8 (the names the
// CAB library gives unpacked files) and found in a directory without regard
// to ASCII case, as Windows finds them; an entry's directories are walked
// through open descriptors, one name at a time; a replaced file's mode, and
// as root its owner and group, carry over to the file that replaces it.
#include <dirent.h>
#include <fcntl.h>
#include <iconv.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <map>
#include <unordered_map>
#include <utility>

#include "base/CText.h"
#include "update/FileOps.h"
#include "update/FileSystem.h"

namespace quon {

namespace {

// A byte that Windows-1252 leaves undefined becomes the code point of the
// same value, as Windows maps it.
void AppendLatin1(std::string& out, unsigned char byte) {
  if (byte < 0x80) {
    out += static_cast<char>(byte);
    return;
  }
  out += static_cast<char>(0xC0 | (byte >> 6));
  out += static_cast<char>(0x80 | (byte & 0x3F));
}

}  // namespace

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

namespace {

// An open descriptor, closed with its owner.
class Descriptor {
 public:
  explicit Descriptor(int fd = -1) : m_fd(fd) {}
  Descriptor(Descriptor&& other) noexcept : m_fd(std::exchange(other.m_fd, -1)) {}
  Descriptor& operator=(Descriptor&& other) noexcept {
    std::swap(m_fd, other.m_fd);
    return *this;
  }
  ~Descriptor() {
    if (m_fd >= 0) ::close(m_fd);
  }
  int get() const { return m_fd; }

 private:
  int m_fd;
};

Descriptor OpenDirectory(int at, const std::string& name, bool followLink) {
  if (HasNul(name)) return Descriptor();
  return Descriptor(::openat(at, name.c_str(),
                             O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOCTTY | (followLink ? 0 : O_NOFOLLOW)));
}

}  // namespace

struct InstallNames::State {
  std::string productDir;
  std::string unpackDir;
  char separator;
  Descriptor product;
  Descriptor unpack;
  iconv_t fromCp1252 = reinterpret_cast<iconv_t>(-1);
  // The directories listed so far, by device and inode: each one's names by
  // their ASCII upper-case form; where several differ only in case, the first
  // in byte order.
  std::map<std::pair<dev_t, ino_t>, std::unordered_map<std::string, std::string>> listings;

  ~State() {
    if (fromCp1252 != reinterpret_cast<iconv_t>(-1)) ::iconv_close(fromCp1252);
  }

  // The listing of the open directory `dir`, read on first use; null when
  // the directory cannot be read.
  std::unordered_map<std::string, std::string>* Listing(int dir) {
    struct stat st;
    if (::fstat(dir, &st) != 0) return nullptr;
    const auto key = std::make_pair(st.st_dev, st.st_ino);
    auto found = listings.find(key);
    if (found != listings.end()) return &found->second;
    auto& names = listings[key];
    const int reader = ::openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (DIR* handle = reader >= 0 ? ::fdopendir(reader) : nullptr) {
      while (const dirent* entry = ::readdir(handle)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") Remember(names, name);
      }
      ::closedir(handle);
    } else if (reader >= 0) {
      ::close(reader);
    }
    return &names;
  }

  static void Remember(std::unordered_map<std::string, std::string>& names, const std::string& name) {
    auto [it, added] = names.emplace(AsciiUpper(name), name);
    if (!added && name < it->second) it->second = name;
  }

  // The name of the entry of `dir` that `name` denotes: itself when it exists
  // as written, else one equal to it when ASCII case is ignored; empty when
  // there is none.
  std::string Find(int dir, const std::string& name) {
    struct stat st;
    if (HasNul(name)) return std::string();
    if (::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) return name;
    auto* names = Listing(dir);
    if (names == nullptr) return std::string();
    auto found = names->find(AsciiUpper(name));
    return found == names->end() ? std::string() : found->second;
  }

  // Records that the open directory `dir` was just made: it is empty.
  void MadeEmpty(int dir) {
    struct stat st;
    if (dir >= 0 && ::fstat(dir, &st) == 0) listings[std::make_pair(st.st_dev, st.st_ino)];
  }

  // Records a name just made in `dir`, where the run has listed it.
  void Made(int dir, const std::string& name) {
    struct stat st;
    if (::fstat(dir, &st) != 0) return;
    auto found = listings.find(std::make_pair(st.st_dev, st.st_ino));
    if (found != listings.end()) Remember(found->second, name);
  }
};

InstallNames::InstallNames(std::string productDir, std::string unpackDir, char separator)
    : m_state(std::make_unique<State>()) {
  m_state->product = OpenDirectory(AT_FDCWD, productDir, true);
  m_state->unpack = OpenDirectory(AT_FDCWD, unpackDir, true);
  m_state->productDir = std::move(productDir);
  m_state->unpackDir = std::move(unpackDir);
  m_state->separator = separator;
}

InstallNames::~InstallNames() = default;

std::string InstallNames::OnDisk(std::string_view component) {
  if (std::all_of(component.begin(), component.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; })) {
    return std::string(component);
  }
  if (m_state->fromCp1252 == reinterpret_cast<iconv_t>(-1)) m_state->fromCp1252 = ::iconv_open("UTF-8", "WINDOWS-1252");
  std::string out;
  out.reserve(component.size() * 3);
  char* in = const_cast<char*>(component.data());
  size_t inLeft = component.size();
  char buffer[256];
  while (inLeft > 0) {
    char* to = buffer;
    size_t toLeft = sizeof buffer;
    size_t result = static_cast<size_t>(-1);
    errno = EILSEQ;
    if (m_state->fromCp1252 != reinterpret_cast<iconv_t>(-1)) {
      result = ::iconv(m_state->fromCp1252, &in, &inLeft, &to, &toLeft);
    }
    out.append(buffer, static_cast<size_t>(to - buffer));
    if (result != static_cast<size_t>(-1) || errno == E2BIG) continue;
    // An undefined byte (or no converter at all): taken as Latin-1.
    AppendLatin1(out, static_cast<unsigned char>(*in));
    ++in;
    --inLeft;
  }
  return out;
}

std::string InstallNames::UnpackedFile(std::string_view fileName) {
  State& state = *m_state;
  if (state.unpack.get() < 0) return std::string();
  const std::string name = state.Find(state.unpack.get(), OnDisk(fileName));
  struct stat st;
  if (name.empty() || ::fstatat(state.unpack.get(), name.c_str(), &st, 0) != 0 || !S_ISREG(st.st_mode)) {
    return std::string();
  }
  return state.unpackDir + name;
}

std::string InstallNames::Target(const std::vector<std::string_view>& dirs, std::string_view fileName) {
  State& state = *m_state;
  if (state.product.get() < 0) return std::string();
  std::string path = state.productDir;
  Descriptor held;  // the directory walked into last, beyond the product directory
  int dir = state.product.get();
  for (std::string_view part : dirs) {
    const std::string onDisk = OnDisk(part);
    std::string name = state.Find(dir, onDisk);
    Descriptor next;
    if (name.empty()) {
      if (::mkdirat(dir, onDisk.c_str(), 0777) != 0) return std::string();
      state.Made(dir, onDisk);
      name = onDisk;
      next = OpenDirectory(dir, name, false);
      state.MadeEmpty(next.get());
    } else {
      next = OpenDirectory(dir, name, false);
      // A link is followed only to a directory inside the product directory.
      struct stat st;
      if (next.get() < 0 && ::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode) &&
          IsDirectoryInside(state.productDir, path + name)) {
        next = OpenDirectory(dir, name, true);
      }
    }
    if (next.get() < 0) return std::string();
    held = std::move(next);
    dir = held.get();
    path += name;
    path += state.separator;
  }
  const std::string onDisk = OnDisk(fileName);
  std::string name = state.Find(dir, onDisk);
  if (name.empty()) {
    name = onDisk;
    state.Made(dir, name);
  }
  return path + name;
}

}  // namespace quon
