// What the server counts for monitoring, written in the Prometheus text
// format on the admin address (GET /metrics).
#pragma once
#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <utility>

#include "Connections.h"

namespace quon::server {

class StatsRecorder;

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
