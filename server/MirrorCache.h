// The site mirror's copies of archives, under DIR/cache/: one complete copy
// per update, and copies being filled from the upstream while clients are
// served from them. A copy is written to a temporary file and renamed to its
// name only when it is complete: of the announced length and, when the
// upstream gave one, of its `sha256`; a client is never given its last byte
// before then, so a copy that fails is a cut download, never a complete
// wrong one.
#pragma once
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "MirrorWire.h"
#include "ReplySource.h"

namespace quon::server {

class CacheFill;

class MirrorCache {
 public:
  using Log = std::function<void(const std::string&)>;
  // Makes DIR/cache when missing, removes what an interrupted copy left and
  // takes up the complete copies found; null (and why) when the folder
  // cannot be used.
  static std::unique_ptr<MirrorCache> Open(const std::string& root, Log log, std::string& error);
  ~MirrorCache();
  MirrorCache(const MirrorCache&) = delete;
  MirrorCache& operator=(const MirrorCache&) = delete;

  // The newest archive held of an update (a copy being filled, else the
  // complete one), for the request to the upstream. With nothing held and
  // another request asking the upstream for this update already, it waits
  // (until `deadline`) for that one's header, so that concurrent requests
  // for an archive not held fetch it once; with nothing held and no one
  // asking, `asking` is set and this request asks first: EndAsking must
  // follow once its header has been judged.
  std::optional<ArchiveMeta> Newest(uint32_t id, std::chrono::steady_clock::time_point deadline, bool& asking);
  void EndAsking(uint32_t id);

  // A reader of the held archive that the upstream's reply names (a copy
  // being filled first), with its description; null when none is held.
  std::shared_ptr<ReplySource> OpenMatching(uint32_t id, const UpstreamFileHeader& reply, ArchiveMeta& meta,
                                            bool& complete);
  // Starts a copy of an archive that the upstream is sending whole; it is
  // the newest of its update from now on. Null when it cannot be written.
  std::shared_ptr<CacheFill> StartFill(const ArchiveMeta& meta);

  size_t CompleteCount() const;
  // Fails every copy being filled (their readers are cut and woken); later
  // copies fail at once.
  void Shutdown();

  struct Impl;

 private:
  explicit MirrorCache(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> m_impl;
};

// One archive being copied from the upstream: the upstream's transfer
// appends, clients read what has arrived.
class CacheFill {
 public:
  ~CacheFill();
  // The next bytes from the upstream; false when the copy has failed (more
  // bytes than announced, a write error, the server stopping).
  bool Append(const char* data, size_t n);
  // The upstream's transfer has ended (`whole`: without an error): the copy
  // is kept when it holds the announced length and digest, else dropped.
  // Readers are woken either way. True when kept.
  bool Finish(bool whole, std::string& why);
  std::shared_ptr<ReplySource> Reader();
  const ArchiveMeta& Meta() const { return m_meta; }

  struct Shared;

 private:
  friend class MirrorCache;
  CacheFill(MirrorCache::Impl* cache, std::shared_ptr<Shared> shared, ArchiveMeta meta)
      : m_cache(cache), m_shared(std::move(shared)), m_meta(std::move(meta)) {}
  MirrorCache::Impl* m_cache;
  std::shared_ptr<Shared> m_shared;
  ArchiveMeta m_meta;
};

}  // namespace quon::server
