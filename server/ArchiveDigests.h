// The SHA-256 of each archive, which a file reply announces (`sha256`) so
// that a cut download can resume. Computed once per version of a file (its
// device, inode, length and modification time), never per request: for the
// whole catalog when it is read, and for an archive replaced on disk after
// that by one thread in the background, while its downloads go out without
// the resume fields until it is known.
#pragma once
#include <cstddef>
#include <memory>
#include <string>

#include "ArchiveFile.h"

namespace quon::server {

// The lowercase hex SHA-256 of an opened archive read from its start, or
// empty when it could not be read whole or changed while it was read.
std::string Sha256OfArchive(const ArchiveFile& file);

class ArchiveDigests {
 public:
  // Remembers at most maxEntries versions of files; beyond, the oldest go.
  explicit ArchiveDigests(size_t maxEntries = 4096);
  ~ArchiveDigests();  // ends the background thread, abandoning what it queued
  ArchiveDigests(const ArchiveDigests&) = delete;
  ArchiveDigests& operator=(const ArchiveDigests&) = delete;

  // The digest of this version of the file, or empty when it is not known.
  std::string Find(const ArchiveFile& file) const;
  // Computes it on the calling thread unless it is known; false when the
  // file could not be read whole.
  bool Compute(const ArchiveFile& file);
  // Leaves it to the background thread (one file at a time; at most 64
  // waiting, more are dropped and asked for again by a later download).
  void ComputeLater(std::shared_ptr<const ArchiveFile> file);
  // Blocks until the background thread has nothing left to do (tests).
  void WaitIdle() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> m_impl;
};

}  // namespace quon::server
