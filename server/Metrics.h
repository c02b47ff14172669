// What the server counts for monitoring, written in the Prometheus text
// format on the admin address (GET /metrics).
#pragma once
#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <utility>

namespace quon::server {

class StatsRecorder;

// What the HTTP side counts of connections; the counters only grow, but
// `open`.
struct ConnectionCounters {
  std::atomic<int64_t> open{0};             // accepted and not yet closed
  std::atomic<uint64_t> refusedAtLimit{0};  // closed at once: too many from one address, or in all
  std::atomic<uint64_t> requestTimeout{0};  // cut: the request did not arrive in time
};

class Metrics {
 public:
  // One answered request: its function ("-" when it named none), HTTP
  // status, result as in the log, and the body bytes sent.
  void CountRequest(const std::string& function, int status, const std::string& result, uint64_t bytes);
  void DownloadStarted() { ++m_downloadsRunning; }
  void DownloadEnded() { --m_downloadsRunning; }

  std::string Render(const ConnectionCounters& connections, const StatsRecorder* stats) const;

 private:
  mutable std::mutex m_mutex;
  std::map<std::pair<std::string, int>, uint64_t> m_requests;  // (function, status)
  std::map<std::string, uint64_t> m_errors;                    // by kind
  std::atomic<uint64_t> m_bytes{0};
  std::atomic<int64_t> m_downloadsRunning{0};
};

}  // namespace quon::server
