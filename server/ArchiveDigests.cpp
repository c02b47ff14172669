#include "ArchiveDigests.h"

#include <openssl/evp.h>

#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

namespace quon::server {

namespace {

constexpr size_t kReadBlock = 1 << 20;
constexpr size_t kMaxQueued = 64;

}  // namespace

std::string Sha256OfArchive(const ArchiveFile& file) {
  std::vector<char> block(kReadBlock);
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  if (ctx == nullptr || EVP_DigestInit_ex(ctx, EVP_sha256(), nullptr) != 1) {
    EVP_MD_CTX_free(ctx);
    return {};
  }
  uint64_t at = 0;
  bool ok = true;
  while (ok && at < file.Size()) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(block.size(), file.Size() - at));
    const long got = file.ReadAt(block.data(), want, at);
    ok = got > 0 && EVP_DigestUpdate(ctx, block.data(), static_cast<size_t>(got)) == 1;
    at += got > 0 ? static_cast<uint64_t>(got) : 0;
  }
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned length = 0;
  ok = ok && EVP_DigestFinal_ex(ctx, digest, &length) == 1 && file.Unchanged();
  EVP_MD_CTX_free(ctx);
  if (!ok) return {};
  static const char kHex[] = "0123456789abcdef";
  std::string hex;
  for (unsigned i = 0; i < length; ++i) {
    hex += kHex[digest[i] >> 4];
    hex += kHex[digest[i] & 15];
  }
  return hex;
}

struct ArchiveDigests::Impl {
  size_t maxEntries;
  mutable std::mutex mutex;
  mutable std::condition_variable wake;
  std::map<ArchiveFile::Stamp, std::string> known;
  std::deque<ArchiveFile::Stamp> order;  // of insertion, for forgetting the oldest
  std::deque<std::shared_ptr<const ArchiveFile>> queue;
  std::set<ArchiveFile::Stamp> queued;
  bool busy = false;
  bool done = false;
  std::thread thread;

  void Remember(const ArchiveFile::Stamp& stamp, std::string digest) {
    if (!known.emplace(stamp, std::move(digest)).second) return;
    order.push_back(stamp);
    while (order.size() > maxEntries) {
      known.erase(order.front());
      order.pop_front();
    }
  }

  void Run() {
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
      wake.wait(lock, [this] { return done || !queue.empty(); });
      if (done) return;
      auto file = std::move(queue.front());
      queue.pop_front();
      busy = true;
      lock.unlock();
      std::string digest = Sha256OfArchive(*file);
      lock.lock();
      busy = false;
      queued.erase(file->Identity());
      if (!digest.empty()) Remember(file->Identity(), std::move(digest));
      wake.notify_all();
    }
  }
};

ArchiveDigests::ArchiveDigests(size_t maxEntries) : m_impl(std::make_unique<Impl>()) {
  m_impl->maxEntries = maxEntries == 0 ? 1 : maxEntries;
  m_impl->thread = std::thread([d = m_impl.get()] { d->Run(); });
}

ArchiveDigests::~ArchiveDigests() {
  {
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    m_impl->done = true;
  }
  m_impl->wake.notify_all();
  m_impl->thread.join();
}

std::string ArchiveDigests::Find(const ArchiveFile& file) const {
  std::lock_guard<std::mutex> lock(m_impl->mutex);
  const auto it = m_impl->known.find(file.Identity());
  return it == m_impl->known.end() ? std::string() : it->second;
}

bool ArchiveDigests::Compute(const ArchiveFile& file) {
  if (!Find(file).empty()) return true;
  std::string digest = Sha256OfArchive(file);
  if (digest.empty()) return false;
  std::lock_guard<std::mutex> lock(m_impl->mutex);
  m_impl->Remember(file.Identity(), std::move(digest));
  return true;
}

void ArchiveDigests::ComputeLater(std::shared_ptr<const ArchiveFile> file) {
  if (!file) return;
  {
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    if (m_impl->known.count(file->Identity()) || m_impl->queued.count(file->Identity()) ||
        m_impl->queue.size() >= kMaxQueued)
      return;
    m_impl->queued.insert(file->Identity());
    m_impl->queue.push_back(std::move(file));
  }
  m_impl->wake.notify_all();
}

void ArchiveDigests::WaitIdle() const {
  std::unique_lock<std::mutex> lock(m_impl->mutex);
  m_impl->wake.wait(lock, [this] { return m_impl->queue.empty() && !m_impl->busy; });
}

}  // namespace quon::server
