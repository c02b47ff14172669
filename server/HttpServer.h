// The HTTP side of the update server: the service page on the public
// address and GET /metrics on the admin address, served by an event loop
// (libmicrohttpd) on a few threads, one log line per request.
#pragma once
#include <cstddef>
#include <cstdio>
#include <memory>
#include <string>

#include "ArchiveDigests.h"
#include "Catalog.h"
#include "Metrics.h"
#include "Stats.h"

namespace quon::server {

class Mirror;

// What a client can take of the server. No connection holds a thread: it
// holds a socket and a bounded amount of memory, for a bounded time while
// its request arrives.
struct ConnectionLimits {
  size_t threads = 4;               // event-loop threads
  size_t queue = 1024;              // connections the kernel holds before they are accepted (listen backlog)
  size_t connections = 16384;       // open at once; lowered to what the open-file limit allows
  size_t perAddress = 16;           // open at once from one client address; 0: no limit
  int idleSeconds = 5;              // silence before a connection is closed while it waits for a request
  int requestSeconds = 10;          // for a request's head and body, from when the server is ready for it
  int writeSeconds = 30;            // silence while a reply is being sent
  size_t connectionMemory = 32768;  // per connection; the request head must fit in it
};

struct ServerOptions {
  std::string host = "127.0.0.1";
  int port = 8080;   // 0 picks a free port
  std::string path;  // the service page
  ConnectionLimits limits;
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
  // Binds and listens; returns the port, or -1 when that fails (errno
  // says why). Connections wait in the queue until Run.
  int Bind();
  // The admin address (GET /metrics, plain HTTP); the port, or -1.
  int BindAdmin(const std::string& host, int port);
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
  // File replies announce resume and answer `resumefrom` with the digests
  // kept there; call before Run. Null: they do not.
  void SetDigests(ArchiveDigests* digests);
  // Serves as a site mirror: the service page's requests go to the mirror
  // instead of the catalog. Call before Bind.
  void SetMirror(Mirror* mirror);
  void SetReplica(const std::string& name);
  // The metrics in the Prometheus text format.
  std::string RenderMetrics() const;

  // A line for the log, with the time in front; written in one piece.
  void Log(const std::string& line) const;

  struct Impl;

 private:
  std::unique_ptr<Impl> m_impl;
};

}  // namespace quon::server
