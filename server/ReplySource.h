// Where a download's archive bytes come from when they are not a file of
// the catalog: the mirror's cache, or a copy still arriving from its
// upstream. A read may find the bytes not there yet; the connection then
// waits, parked, until the source wakes it.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>

namespace quon::server {

// A download waiting for bytes: Park takes its connection out of the event
// loop, Wake puts it back (once for each Park). The source calls Park
// before it returns 0 and Wake later, both under its own lock, so that a
// wake never comes before the park.
class ReplyWaiter {
 public:
  virtual ~ReplyWaiter() = default;
  virtual void Park() = 0;
  virtual void Wake() = 0;
};

class ReplySource {
 public:
  virtual ~ReplySource() = default;
  // Up to n bytes of the archive from `offset`: the count read (above 0);
  // 0 when they are not there yet (the waiter was parked and will be woken
  // when more are, or when the source has failed); -1 when they never will
  // be (the download is cut).
  virtual long Read(char* buffer, size_t n, uint64_t offset, const std::shared_ptr<ReplyWaiter>& waiter) = 0;
};

}  // namespace quon::server
