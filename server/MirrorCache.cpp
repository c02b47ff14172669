#include "MirrorCache.h"

#include <dirent.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <random>
#include <set>

#include "net/PayloadCodec.h"

namespace quon::server {

namespace {

// Readers waiting for a copy are woken when this much more has arrived (or
// the copy has ended), not for every block from the upstream.
constexpr uint64_t kWakeStep = 256 * 1024;
// Room kept free on the cache's file system beside a new copy.
constexpr uint64_t kSpareBytes = 64ull << 20;
constexpr char kTempPrefix[] = ".fill-";

std::string SystemError() { return std::strerror(errno); }

bool WriteAll(int fd, const char* data, size_t n) {
  while (n > 0) {
    const ssize_t w = write(fd, data, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    data += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

std::string RandomName(const char* suffix) {
  static std::mutex mutex;
  static std::mt19937_64 gen{std::random_device{}()};
  std::lock_guard<std::mutex> lock(mutex);
  char text[32];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(gen()));
  return std::string(kTempPrefix) + text + suffix;
}

std::string BaseName(const ArchiveMeta& meta) { return "update-" + std::to_string(meta.id) + "-" + meta.sha256; }

// The description kept beside a copy, one field a line.
std::string MetaText(const ArchiveMeta& meta) {
  return "# QuonUpdate site mirror: the archive update-" + std::to_string(meta.id) + "-" + meta.sha256 + ".cab\n" +
         "id=" + std::to_string(meta.id) + "\nupdateversion=" + PercentEncode(meta.updateVersion) +
         "\nlength=" + std::to_string(meta.length) + "\nsha256=" + meta.sha256 +
         "\nupstream-sha256=" + (meta.shaFromUpstream ? "1" : "0") + "\n";
}

std::optional<ArchiveMeta> ParseMeta(const std::string& text) {
  ArchiveMeta meta;
  int seen = 0;
  size_t start = 0;
  while (start < text.size()) {
    const size_t nl = text.find('\n', start);
    const std::string line = text.substr(start, nl == std::string::npos ? std::string::npos : nl - start);
    start = nl == std::string::npos ? text.size() : nl + 1;
    if (line.empty() || line[0] == '#') continue;
    const size_t eq = line.find('=');
    if (eq == std::string::npos) return std::nullopt;
    const std::string key = line.substr(0, eq), value = line.substr(eq + 1);
    const bool digits =
        !value.empty() && value.size() <= 10 && value.find_first_not_of("0123456789") == std::string::npos;
    if (key == "id" && digits && std::stoull(value) <= 0xFFFFFFFFu) {
      meta.id = static_cast<uint32_t>(std::stoull(value));
      seen |= 1;
    } else if (key == "updateversion") {
      meta.updateVersion = PercentDecode(value);
      seen |= 2;
    } else if (key == "length" && digits && std::stoull(value) <= 0x7FFFFFFFu) {
      meta.length = std::stoull(value);
      seen |= 4;
    } else if (key == "sha256" && value.size() == 64 &&
               value.find_first_not_of("0123456789abcdef") == std::string::npos) {
      meta.sha256 = value;
      seen |= 8;
    } else if (key == "upstream-sha256" && (value == "0" || value == "1")) {
      meta.shaFromUpstream = value == "1";
      seen |= 16;
    } else {
      return std::nullopt;
    }
  }
  if (seen != 31) return std::nullopt;
  return meta;
}

// A complete copy, read by offset.
class FileSource : public ReplySource {
 public:
  FileSource(int fd, uint64_t length) : m_fd(fd), m_length(length) {}
  ~FileSource() override { close(m_fd); }
  long Read(char* buffer, size_t n, uint64_t offset, const std::shared_ptr<ReplyWaiter>&) override {
    if (offset >= m_length) return -1;
    for (;;) {
      const ssize_t got = pread(m_fd, buffer, std::min<uint64_t>(n, m_length - offset), static_cast<off_t>(offset));
      if (got < 0 && errno == EINTR) continue;
      return got > 0 ? static_cast<long>(got) : -1;
    }
  }

 private:
  int m_fd;
  uint64_t m_length;
};

}  // namespace

// What the upstream's transfer and the readers of one copy share.
struct CacheFill::Shared {
  enum State { kFilling, kComplete, kFailed };
  std::mutex mutex;
  int fd = -1;
  std::string tempName;
  uint64_t length = 0;
  uint64_t written = 0;
  State state = kFilling;
  bool finished = false;  // Finish has run
  EVP_MD_CTX* hash = nullptr;
  struct Parked {
    std::shared_ptr<ReplyWaiter> waiter;
    uint64_t wakeAt;
  };
  std::vector<Parked> parked;

  ~Shared() {
    if (fd >= 0) close(fd);
    EVP_MD_CTX_free(hash);
  }
  // What a reader may have: all of it once the copy is complete; before,
  // everything but the last byte, so that a copy that fails its checks
  // never reaches a client whole.
  uint64_t Visible() const {
    if (state == kComplete) return length;
    return length == 0 ? 0 : std::min(written, length - 1);
  }
  // Under the lock.
  void WakeReady(bool all) {
    const uint64_t visible = Visible();
    for (size_t i = 0; i < parked.size();) {
      if (all || parked[i].wakeAt <= visible) {
        parked[i].waiter->Wake();
        parked[i] = parked.back();
        parked.pop_back();
      } else {
        ++i;
      }
    }
  }
  void Fail() {
    state = kFailed;
    WakeReady(true);
  }
};

namespace {

class FillReader : public ReplySource {
 public:
  explicit FillReader(std::shared_ptr<CacheFill::Shared> shared) : m_shared(std::move(shared)) {}
  long Read(char* buffer, size_t n, uint64_t offset, const std::shared_ptr<ReplyWaiter>& waiter) override {
    CacheFill::Shared& s = *m_shared;
    {
      std::lock_guard<std::mutex> lock(s.mutex);
      if (s.state == CacheFill::Shared::kFailed) return -1;
      const uint64_t visible = s.Visible();
      if (offset >= visible) {
        if (s.state == CacheFill::Shared::kComplete || !waiter) return -1;
        // Parked under the lock that the writer wakes under: the wake
        // cannot come first.
        waiter->Park();
        s.parked.push_back({waiter, std::min(offset + kWakeStep, s.length)});
        return 0;
      }
      n = static_cast<size_t>(std::min<uint64_t>(n, visible - offset));
    }
    // The bytes below Visible() are written and stay as they are; the file
    // stays open as long as this reader holds the copy.
    for (;;) {
      const ssize_t got = pread(s.fd, buffer, n, static_cast<off_t>(offset));
      if (got < 0 && errno == EINTR) continue;
      return got > 0 ? static_cast<long>(got) : -1;
    }
  }

 private:
  std::shared_ptr<CacheFill::Shared> m_shared;
};

}  // namespace

struct MirrorCache::Impl {
  std::string dir;
  int dirfd = -1;
  Log log;
  mutable std::mutex mutex;
  std::condition_variable askingDone;
  std::map<uint32_t, ArchiveMeta> complete;
  struct Filling {
    ArchiveMeta meta;
    std::shared_ptr<CacheFill::Shared> shared;
  };
  std::map<uint32_t, Filling> filling;
  std::set<uint32_t> asking;
  bool stopped = false;

  ~Impl() {
    if (dirfd >= 0) close(dirfd);
  }

  // Removes every file of the update but `keep` (a base name).
  void RemoveOthers(uint32_t id, const std::string& keep) {
    const int fd = dup(dirfd);
    DIR* d = fd >= 0 ? fdopendir(fd) : nullptr;
    if (d == nullptr) {
      if (fd >= 0) close(fd);
      return;
    }
    const std::string prefix = "update-" + std::to_string(id) + "-";
    std::vector<std::string> gone;
    while (const dirent* e = readdir(d)) {
      const std::string name = e->d_name;
      if (name.rfind(prefix, 0) == 0 && name.rfind(keep + ".", 0) != 0) gone.push_back(name);
    }
    closedir(d);
    for (const auto& name : gone) unlinkat(dirfd, name.c_str(), 0);
  }

  void Scan() {
    const int fd = dup(dirfd);
    DIR* d = fd >= 0 ? fdopendir(fd) : nullptr;
    if (d == nullptr) {
      if (fd >= 0) close(fd);
      return;
    }
    std::vector<std::string> names;
    while (const dirent* e = readdir(d)) names.push_back(e->d_name);
    closedir(d);
    std::map<uint32_t, std::pair<int64_t, ArchiveMeta>> newest;
    std::set<std::string> keep;
    for (const auto& name : names) {
      if (name.rfind(kTempPrefix, 0) == 0) {
        // What a copy interrupted by a stop or a crash left.
        unlinkat(dirfd, name.c_str(), 0);
        continue;
      }
      if (name.rfind("update-", 0) != 0 || name.size() < 5 || name.compare(name.size() - 5, 5, ".meta") != 0) continue;
      const int mfd = openat(dirfd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
      if (mfd < 0) continue;
      char text[4096];
      const ssize_t n = read(mfd, text, sizeof text);
      struct stat ms {};
      fstat(mfd, &ms);
      close(mfd);
      const auto meta = n > 0 && n < static_cast<ssize_t>(sizeof text)
                            ? ParseMeta(std::string(text, static_cast<size_t>(n)))
                            : std::nullopt;
      struct stat cs {};
      const bool ok = meta && BaseName(*meta) + ".meta" == name &&
                      fstatat(dirfd, (BaseName(*meta) + ".cab").c_str(), &cs, AT_SYMLINK_NOFOLLOW) == 0 &&
                      S_ISREG(cs.st_mode) && static_cast<uint64_t>(cs.st_size) == meta->length;
      if (!ok) continue;
      auto& best = newest[meta->id];
      if (best.second.sha256.empty() || ms.st_mtime >= best.first) best = {ms.st_mtime, *meta};
    }
    for (const auto& [id, found] : newest) {
      complete[id] = found.second;
      keep.insert(BaseName(found.second) + ".cab");
      keep.insert(BaseName(found.second) + ".meta");
    }
    // Anything else of ours is a copy without its description (or the
    // reverse), from a stop between the two renames, or an older copy.
    for (const auto& name : names)
      if (name.rfind("update-", 0) == 0 && !keep.count(name)) unlinkat(dirfd, name.c_str(), 0);
  }

  bool Commit(ArchiveMeta& meta, CacheFill::Shared& s, std::string& why) {
    const std::string base = BaseName(meta);
    const std::string metaTemp = RandomName(".meta");
    const std::string text = MetaText(meta);
    bool ok = fsync(s.fd) == 0;
    if (ok) {
      const int mfd = openat(dirfd, metaTemp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
      ok = mfd >= 0 && WriteAll(mfd, text.data(), text.size()) && fsync(mfd) == 0;
      if (mfd >= 0) close(mfd);
    }
    // The description first, then the copy: a stop between the two leaves
    // a description without its copy, which the next start removes.
    ok = ok && renameat(dirfd, metaTemp.c_str(), dirfd, (base + ".meta").c_str()) == 0 &&
         renameat(dirfd, s.tempName.c_str(), dirfd, (base + ".cab").c_str()) == 0 && fsync(dirfd) == 0;
    if (!ok) {
      why = "cannot be kept: " + SystemError();
      unlinkat(dirfd, metaTemp.c_str(), 0);
      unlinkat(dirfd, s.tempName.c_str(), 0);
      return false;
    }
    return true;
  }
};

MirrorCache::MirrorCache(std::unique_ptr<Impl> impl) : m_impl(std::move(impl)) {}

MirrorCache::~MirrorCache() = default;

std::unique_ptr<MirrorCache> MirrorCache::Open(const std::string& root, Log log, std::string& error) {
  auto impl = std::make_unique<Impl>();
  impl->dir = root + "/cache";
  impl->log = std::move(log);
  const int rootfd = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (rootfd < 0) {
    error = root + ": " + SystemError();
    return nullptr;
  }
  if (mkdirat(rootfd, "cache", 0755) != 0 && errno != EEXIST) {
    error = impl->dir + ": " + SystemError();
    close(rootfd);
    return nullptr;
  }
  impl->dirfd = openat(rootfd, "cache", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  close(rootfd);
  if (impl->dirfd < 0) {
    error = impl->dir + ": " + SystemError();
    return nullptr;
  }
  // What is found there is served as the upstream's archives: a folder
  // that another user may write (or owns) could hold anyone's.
  struct stat st {};
  if (fstat(impl->dirfd, &st) != 0 || (st.st_uid != 0 && st.st_uid != geteuid()) || (st.st_mode & S_IWOTH) != 0) {
    error = impl->dir + ": other users than root and this server's may change it; it is not used as the cache";
    return nullptr;
  }
  impl->Scan();
  return std::unique_ptr<MirrorCache>(new MirrorCache(std::move(impl)));
}

std::optional<ArchiveMeta> MirrorCache::Newest(uint32_t id, std::chrono::steady_clock::time_point deadline,
                                               bool& asking) {
  Impl& d = *m_impl;
  asking = false;
  std::unique_lock<std::mutex> lock(d.mutex);
  for (;;) {
    if (d.stopped) return std::nullopt;
    if (const auto f = d.filling.find(id); f != d.filling.end()) return f->second.meta;
    if (const auto c = d.complete.find(id); c != d.complete.end()) return c->second;
    if (!d.asking.count(id)) {
      d.asking.insert(id);
      asking = true;
      return std::nullopt;
    }
    // Another request is asking for it: its header says whether the
    // archive arrives (then this one shares it) or not.
    if (d.askingDone.wait_until(lock, deadline) == std::cv_status::timeout) return std::nullopt;
  }
}

void MirrorCache::EndAsking(uint32_t id) {
  {
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    m_impl->asking.erase(id);
  }
  m_impl->askingDone.notify_all();
}

std::shared_ptr<ReplySource> MirrorCache::OpenMatching(uint32_t id, const UpstreamFileHeader& reply, ArchiveMeta& meta,
                                                       bool& complete) {
  Impl& d = *m_impl;
  std::lock_guard<std::mutex> lock(d.mutex);
  if (const auto f = d.filling.find(id); f != d.filling.end() && SameArchive(f->second.meta, reply)) {
    meta = f->second.meta;
    complete = false;
    return std::make_shared<FillReader>(f->second.shared);
  }
  const auto c = d.complete.find(id);
  if (c == d.complete.end() || !SameArchive(c->second, reply)) return nullptr;
  const std::string name = BaseName(c->second) + ".cab";
  const int fd = openat(d.dirfd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  struct stat st {};
  if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || static_cast<uint64_t>(st.st_size) != c->second.length) {
    // Removed or changed under the mirror: fetched again.
    if (fd >= 0) close(fd);
    d.log("cache: " + d.dir + "/" + name + " is gone or changed; fetching it again");
    d.complete.erase(c);
    return nullptr;
  }
  meta = c->second;
  complete = true;
  return std::make_shared<FileSource>(fd, meta.length);
}

std::shared_ptr<CacheFill> MirrorCache::StartFill(const ArchiveMeta& meta) {
  Impl& d = *m_impl;
  struct statvfs fs {};
  if (fstatvfs(d.dirfd, &fs) == 0 && static_cast<uint64_t>(fs.f_bavail) * fs.f_frsize < meta.length + kSpareBytes) {
    d.log("cache: no room in " + d.dir + " for update " + std::to_string(meta.id) + " (" + std::to_string(meta.length) +
          " bytes)");
    return nullptr;
  }
  auto shared = std::make_shared<CacheFill::Shared>();
  shared->length = meta.length;
  shared->tempName = RandomName(".cab");
  shared->fd = openat(d.dirfd, shared->tempName.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  shared->hash = EVP_MD_CTX_new();
  if (shared->fd < 0 || shared->hash == nullptr || EVP_DigestInit_ex(shared->hash, EVP_sha256(), nullptr) != 1) {
    d.log("cache: cannot write in " + d.dir + ": " + SystemError());
    if (shared->fd >= 0) unlinkat(d.dirfd, shared->tempName.c_str(), 0);
    return nullptr;
  }
  std::lock_guard<std::mutex> lock(d.mutex);
  if (d.stopped) {
    unlinkat(d.dirfd, shared->tempName.c_str(), 0);
    return nullptr;
  }
  d.filling[meta.id] = {meta, shared};
  return std::shared_ptr<CacheFill>(new CacheFill(&d, shared, meta));
}

size_t MirrorCache::CompleteCount() const {
  std::lock_guard<std::mutex> lock(m_impl->mutex);
  return m_impl->complete.size();
}

void MirrorCache::Shutdown() {
  Impl& d = *m_impl;
  {
    std::lock_guard<std::mutex> lock(d.mutex);
    d.stopped = true;
    for (auto& [id, f] : d.filling) {
      std::lock_guard<std::mutex> fillLock(f.shared->mutex);
      f.shared->Fail();
    }
  }
  d.askingDone.notify_all();
}

CacheFill::~CacheFill() {
  // A copy abandoned without Finish is dropped.
  std::string why;
  Finish(false, why);
}

bool CacheFill::Append(const char* data, size_t n) {
  Shared& s = *m_shared;
  std::lock_guard<std::mutex> lock(s.mutex);
  if (s.state != Shared::kFilling) return false;
  if (n > s.length - s.written || !WriteAll(s.fd, data, n) || EVP_DigestUpdate(s.hash, data, n) != 1) {
    s.Fail();
    return false;
  }
  s.written += n;
  s.WakeReady(false);
  return true;
}

bool CacheFill::Finish(bool whole, std::string& why) {
  Shared& s = *m_shared;
  MirrorCache::Impl& d = *m_cache;
  // Only the upstream's transfer appends and finishes, so the file and the
  // digest are this thread's; readers take the lock for the state only,
  // which stays "filling" (and their last byte withheld) while the copy is
  // flushed and renamed without the lock.
  std::unique_lock<std::mutex> lock(s.mutex);
  if (s.state == Shared::kComplete || s.finished) return s.state == Shared::kComplete;
  s.finished = true;
  bool kept = false;
  if (s.state == Shared::kFailed) {
    why = "the copy failed";
  } else if (!whole || s.written != s.length) {
    why = "the upstream sent " + std::to_string(s.written) + " of " + std::to_string(s.length) + " bytes";
  } else {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned size = 0;
    EVP_DigestFinal_ex(s.hash, digest, &size);
    static const char kHex[] = "0123456789abcdef";
    std::string hex;
    for (unsigned i = 0; i < size; ++i) {
      hex += kHex[digest[i] >> 4];
      hex += kHex[digest[i] & 15];
    }
    if (m_meta.shaFromUpstream && hex != m_meta.sha256) {
      why = "its SHA-256 is " + hex + ", not the upstream's " + m_meta.sha256;
    } else {
      m_meta.sha256 = hex;
      lock.unlock();
      kept = d.Commit(m_meta, s, why);
      lock.lock();
    }
  }
  if (!kept) {
    if (s.state != Shared::kFailed) s.Fail();
    unlinkat(d.dirfd, s.tempName.c_str(), 0);
  }
  lock.unlock();
  // The cache knows the complete copy (and its digest) before its readers
  // get their last byte, so that a client that asks again at once finds it.
  {
    std::lock_guard<std::mutex> cacheLock(d.mutex);
    const auto f = d.filling.find(m_meta.id);
    if (f != d.filling.end() && f->second.shared == m_shared) d.filling.erase(f);
    if (kept) d.complete[m_meta.id] = m_meta;
  }
  if (kept) {
    lock.lock();
    if (s.state == Shared::kFilling) {
      s.state = Shared::kComplete;
      s.WakeReady(true);
    }
    lock.unlock();
    d.RemoveOthers(m_meta.id, BaseName(m_meta));
  }
  return kept;
}

std::shared_ptr<ReplySource> CacheFill::Reader() { return std::make_shared<FillReader>(m_shared); }

}  // namespace quon::server
