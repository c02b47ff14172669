#include "Metrics.h"

#include "Stats.h"

namespace quon::server {

void Metrics::CountRequest(const std::string& function, int status, const std::string& result, uint64_t bytes) {
  m_bytes += bytes;
  // Errors by the name the request log gives them.
  std::string kind;
  if (result.find("(aborted)") != std::string::npos) {
    kind = "download-cut";
  } else if (result.rfind("refused: ", 0) == 0) {
    kind = "refused";
  } else if (status >= 400) {
    kind = result.empty() ? "http-" + std::to_string(status) : result;
  }
  std::lock_guard<std::mutex> lock(m_mutex);
  ++m_requests[{function.empty() ? "-" : function, status}];
  if (!kind.empty()) ++m_errors[kind];
}

std::string Metrics::Render(const ConnectionCounters& connections, const StatsRecorder* stats) const {
  std::string out;
  auto metric = [&](const char* name, const char* type, const char* help) {
    out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
  };
  metric("quon_requests_total", "counter", "Requests answered, by server function and HTTP status.");
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const auto& [key, count] : m_requests)
      out += "quon_requests_total{function=\"" + key.first + "\",status=\"" + std::to_string(key.second) + "\"} " +
             std::to_string(count) + "\n";
    metric("quon_errors_total", "counter",
           "Requests that ended in an error or a refusal, by kind (as the request log names it).");
    for (const auto& [kind, count] : m_errors)
      out += "quon_errors_total{kind=\"" + kind + "\"} " + std::to_string(count) + "\n";
  }
  metric("quon_response_bytes_total", "counter", "Body bytes sent.");
  out += "quon_response_bytes_total " + std::to_string(m_bytes.load()) + "\n";
  metric("quon_downloads_running", "gauge", "Archive downloads being sent now.");
  out += "quon_downloads_running " + std::to_string(m_downloadsRunning.load()) + "\n";
  metric("quon_connections_open", "gauge", "Connections accepted and not yet closed.");
  out += "quon_connections_open " + std::to_string(connections.open.load()) + "\n";
  metric("quon_connections_refused_total", "counter",
         "Connections closed at once or cut, by reason: too many from one address or in all (limit), or a "
         "request that did not arrive in time (request-timeout).");
  out += "quon_connections_refused_total{reason=\"limit\"} " + std::to_string(connections.refusedAtLimit.load()) + "\n";
  out += "quon_connections_refused_total{reason=\"request-timeout\"} " +
         std::to_string(connections.requestTimeout.load()) + "\n";
  metric("quon_stats_records_written_total", "counter", "Records of the figures written to the database.");
  out += "quon_stats_records_written_total " + std::to_string(stats ? stats->Written() : 0) + "\n";
  metric("quon_stats_records_lost_total", "counter",
         "Records of the figures lost: the database was unavailable or the queue in memory full.");
  out += "quon_stats_records_lost_total " + std::to_string(stats ? stats->Lost() : 0) + "\n";
  return out;
}

}  // namespace quon::server
