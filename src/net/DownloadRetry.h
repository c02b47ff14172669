// How a download that was cut goes on: up to five more attempts, after
// pauses of 1, 2, 4, 8 and 16 seconds, each stretched by a random factor
// between 1 and 1.5 so that many seats cut at once do not come back at
// once. The clock and the chance are replaceable, so that tests need not
// wait. A caller may also refuse a file reply on its header fields before
// any of its data is written.
#pragma once
#include <chrono>
#include <functional>

#include "net/FieldMap.h"
#include "net/HttpTransport.h"

namespace quon {

constexpr int kDownloadRetries = 5;
constexpr std::chrono::milliseconds kFirstRetryDelay{1000};

struct RetryPolicy {
  int maxRetries = kDownloadRetries;
  std::chrono::milliseconds firstDelay = kFirstRetryDelay;
  // A factor in [1, 1.5] for one pause; null: a random one.
  std::function<double()> jitter;
  // Waits `delay`, or less when `cancel` is abandoned first; false when it
  // was. Null: PauseUnlessAbandoned.
  std::function<bool(std::chrono::milliseconds delay, const CancelFlag* cancel)> pause;
};

// Sees a file reply's fields once its header has been read; false refuses
// the reply: the download stops, nothing of it is written, its result is 0
// and it shows nothing (the caller tells why). Runs on the download's
// worker thread.
using ReplyCheck = std::function<bool(const FieldMap& reply)>;

struct DownloadOptions {
  RetryPolicy retry;
  ReplyCheck acceptReply;
};

// The pause before retry `index` (0 for the first retry): the first delay
// doubled `index` times, times the factor (held to [1, 1.5]).
std::chrono::milliseconds RetryDelay(const RetryPolicy& policy, int index, double factor);
// A random factor in [1, 1.5].
double RandomRetryFactor();
// Sleeps `delay` in short steps, returning early (false) once `cancel` is
// abandoned: Cancel and Ctrl+C end a pause at once.
bool PauseUnlessAbandoned(std::chrono::milliseconds delay, const CancelFlag* cancel);

}  // namespace quon
