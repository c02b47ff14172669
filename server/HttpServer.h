// The HTTP side of the update server: one service page, a pool of worker
// threads, one log line per request.
#pragma once
#include <cstddef>
#include <cstdio>
#include <memory>
#include <string>

#include "Catalog.h"
#include "Connections.h"
#include "Metrics.h"
#include "Stats.h"

namespace quon::server {

struct ServerOptions {
  std::string host = "127.0.0.1";
  int port = 8080;  // 0 picks a free port
  std::string path;  // the service page
  ConnectionLimits limits;  // workers, queue, deadlines, header bounds
  // With both, the server speaks HTTPS with this certificate (PEM, with its
  // chain after it) and private key (PEM); the requests and replies inside
  // are unchanged.
  std::string tlsCertFile;
  std::string tlsKeyFile;
  // Names this server in the figures (the host and port by default).
  std::string replica;
};

class HttpServer {
 public:
  HttpServer(ServerOptions options, std::shared_ptr<const Catalog> catalog, std::FILE* log = stderr);
  ~HttpServer();
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // False when the TLS certificate or key could not be loaded.
  bool TlsReady() const;
  // Binds and listens; returns the port, or -1 when that fails.
  int Bind();
  // Serves until Stop is called; false when it could not serve at all.
  bool Run();
  // Safe from any thread.
  void Stop();
  // Later requests are answered from the new catalog; requests under way
  // keep the one they started with.
  void ReplaceCatalog(std::shared_ptr<const Catalog> catalog);
  std::shared_ptr<const Catalog> CurrentCatalog() const;
  // Records every list request and download in the figures; call before
  // Run. Null: no figures.
  void SetStats(StatsRecorder* stats);
  void SetReplica(const std::string& name);
  // The metrics in the Prometheus text format.
  std::string RenderMetrics() const;

  // A line for the log, with the time in front; written in one piece.
  void Log(const std::string& line) const;

 private:
  struct Impl;
  std::unique_ptr<Impl> m_impl;
};

}  // namespace quon::server
