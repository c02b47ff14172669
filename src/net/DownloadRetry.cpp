#include "net/DownloadRetry.h"

#include <algorithm>
#include <mutex>
#include <random>
#include <thread>

namespace quon {

std::chrono::milliseconds RetryDelay(const RetryPolicy& policy, int index, double factor) {
  factor = std::clamp(factor, 1.0, 1.5);
  const int doublings = std::clamp(index, 0, 16);
  const double ms = static_cast<double>(policy.firstDelay.count()) * static_cast<double>(1 << doublings) * factor;
  return std::chrono::milliseconds(static_cast<long long>(ms));
}

double RandomRetryFactor() {
  static std::mutex mutex;
  static std::mt19937 engine{std::random_device{}()};
  std::lock_guard<std::mutex> lock(mutex);
  return std::uniform_real_distribution<double>(1.0, 1.5)(engine);
}

bool PauseUnlessAbandoned(std::chrono::milliseconds delay, const CancelFlag* cancel) {
  constexpr std::chrono::milliseconds kStep{20};
  const auto end = std::chrono::steady_clock::now() + delay;
  for (;;) {
    if (cancel && cancel->IsAbandoned()) return false;
    const auto now = std::chrono::steady_clock::now();
    if (now >= end) return true;
    std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(kStep, end - now));
  }
}

}  // namespace quon
