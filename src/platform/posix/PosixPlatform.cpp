#include <dlfcn.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include <string>
#include <thread>

#include "update/PeVersionResource.h"
#include "platform/posix/PosixPlatform.h"

namespace quon {
namespace {

// The session keeps the executable's path in a buffer of 500 characters.
constexpr std::size_t kMaxModulePath = 499;

// A lock on the product directory's own descriptor; closing it ends the
// lock.
class DirectoryFlock : public ProductDirectoryLock {
 public:
  explicit DirectoryFlock(int fd) : m_fd(fd) {}
  ~DirectoryFlock() override { ::close(m_fd); }
  DirectoryFlock(const DirectoryFlock&) = delete;
  DirectoryFlock& operator=(const DirectoryFlock&) = delete;

 private:
  int m_fd;
};

int FlockRetrying(int fd, int operation) {
  int result;
  do {
    result = ::flock(fd, operation);
  } while (result != 0 && errno == EINTR);
  return result;
}

// Takes the shared lock, trying until `wait` has passed.
bool SharedLockWithin(int fd, std::chrono::milliseconds wait) {
  const auto end = std::chrono::steady_clock::now() + wait;
  for (;;) {
    if (FlockRetrying(fd, LOCK_SH | LOCK_NB) == 0) return true;
    if (errno != EWOULDBLOCK || std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

class PosixPlatform : public Platform {
 public:
  // The full path of the running executable, or an empty text when it cannot
  // be had or is longer than kMaxModulePath: a cut path would name the wrong
  // directory.
  std::string ModuleFileName() override {
    char buf[kMaxModulePath + 2];
    const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf);
    if (n <= 0 || static_cast<std::size_t>(n) > kMaxModulePath) return std::string();
    return std::string(buf, static_cast<std::size_t>(n));
  }

  char PathSeparator() const override { return '/'; }

  bool QueryProductVersionString(const std::string& path, std::string& version) override {
    switch (ReadPeProductVersion(path, version)) {
      case PeVersionStatus::FoundWithString:
        return true;
      case PeVersionStatus::FoundWithoutString:
        version.clear();
        return true;
      case PeVersionStatus::NoFile:
      case PeVersionStatus::NoVersionInfo:
        break;
    }
    version.clear();
    return false;
  }

  bool LoadCabLibrary(const std::string& productDir, DoDecabFn* fn, std::string& errorText) override {
    *fn = nullptr;
    errorText.clear();
    // Always a path with a slash, so that dlopen never searches the system's
    // library directories for the product's unpacker.
    std::string path = productDir.empty() ? std::string("./") : productDir;
    if (path.back() != '/') path.push_back('/');
    path += "libcablib.so";
    ::dlerror();
    void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
      const char* err = ::dlerror();
      if (err != nullptr) errorText = err;
      return false;
    }
    // Loaded once per download and never unloaded, like the Windows library;
    // dlopen only counts the extra references.
    ::dlerror();
    void* sym = ::dlsym(handle, "do_decab");
    *fn = reinterpret_cast<DoDecabFn>(sym);
    return true;
  }

  // Every running copy holds a shared lock on the directory for its run.
  // A copy that gets the exclusive lock instead is alone; the others wait
  // for their shared lock until it has finished `whileAlone` and stepped
  // down to a shared lock itself. Anyone who may read the directory can
  // lock it, so the wait is bounded.
  std::unique_ptr<ProductDirectoryLock> HoldProductDirectory(const std::string& productDir,
                                                             const std::function<void()>& whileAlone) override {
    const int fd = ::open(productDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return nullptr;
    auto lock = std::make_unique<DirectoryFlock>(fd);
    if (FlockRetrying(fd, LOCK_EX | LOCK_NB) == 0) whileAlone();
    if (!SharedLockWithin(fd, m_runLockWait)) return nullptr;
    return lock;
  }
};

}  // namespace

std::unique_ptr<Platform> MakePosixPlatform() { return std::make_unique<PosixPlatform>(); }

}  // namespace quon
