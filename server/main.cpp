// quon-update-server: serves the updates listed in a catalog to the
// updater over HTTP.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include "Catalog.h"
#include "HttpServer.h"
#include "Report.h"
#include "Signals.h"
#include "Stats.h"
#include "base/BuildConfig.h"

using namespace quon::server;

namespace {

const char kUsage[] =
    "usage: quon-update-server --root DIR [--listen ADDR:PORT] [--path PATH] [--threads N] [--stats DB]\n"
    "                          [--replica NAME] [--admin ADDR:PORT] ...\n"
    "       quon-update-server report [--root DIR] [--stats DB] -o FILE.html\n"
    "  --root DIR          directory holding catalog.ini and the update archives\n"
    "  --listen ADDR:PORT  address to listen on (default 127.0.0.1:8080; port 0 picks a free port)\n"
    "  --path PATH         the update service page (default %s)\n"
    "  --threads N         worker threads, that is, clients served at once (default 32)\n"
    "  --queue N           connections waiting for a worker before more are refused with 503 (default 256)\n"
    "  --per-address N     connections from one address, served or waiting (default 16; 0: no limit)\n"
    "  --request-timeout S seconds for a request to arrive once it has begun (default 10)\n"
    "  --stats DB          where the figures go: an SQLite file (default DIR/stats.sqlite),\n"
    "                      postgresql://USER@HOST/DBNAME (shared by replicas), or off\n"
    "  --replica NAME      this server's name in the figures (default HOSTNAME:PORT)\n"
    "  --admin ADDR:PORT   serve GET /metrics (Prometheus text format) there; off unless given\n"
    "  --tls-cert F --tls-key F\n"
    "                      serve HTTPS with this certificate (PEM, chain after it) and key (PEM)\n"
    "report writes the figures as one HTML file with its charts, readable without a server.\n"
    "The first line on standard output is \"listening on ADDR:PORT\" once connections are accepted.\n"
    "SIGHUP reloads the catalog; SIGINT and SIGTERM stop the server.\n";

int Usage(const char* problem) {
  if (problem) std::fprintf(stderr, "quon-update-server: %s\n", problem);
  std::fprintf(stderr, kUsage, quon::kUpdatePath);
  return 2;
}

bool ParseListen(const std::string& text, std::string& host, int& port) {
  const size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0) return false;
  host = text.substr(0, colon);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  const std::string p = text.substr(colon + 1);
  if (p.empty() || p.size() > 5 || p.find_first_not_of("0123456789") != std::string::npos) return false;
  port = std::atoi(p.c_str());
  return port <= 65535 && !host.empty();
}

std::string HostName() {
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "localhost";
  return name;
}

void PrintErrors(const std::vector<std::string>& errors) {
  for (const auto& e : errors) std::fprintf(stderr, "%s\n", e.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::string(argv[1]) == "report") return RunReport(argc - 1, argv + 1);
  std::string root;
  std::string listen = "127.0.0.1:8080";
  std::string statsDatabase;
  std::string admin;
  std::string adminHost;
  int adminPort = 0;
  ServerOptions options;
  options.path = quon::kUpdatePath;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&](const char* name) -> const char* {
      if (i + 1 >= argc) return nullptr;
      (void)name;
      return argv[++i];
    };
    if (arg == "--help" || arg == "-h") {
      std::printf(kUsage, quon::kUpdatePath);
      return 0;
    }
    const char* v = nullptr;
    if (arg == "--root" || arg == "--listen" || arg == "--path" || arg == "--threads" || arg == "--tls-cert" ||
        arg == "--tls-key" || arg == "--queue" || arg == "--per-address" || arg == "--request-timeout" ||
        arg == "--stats" || arg == "--replica" || arg == "--admin") {
      v = value(arg.c_str());
      if (v == nullptr) return Usage(("missing value after " + arg).c_str());
    } else {
      return Usage(("unknown argument '" + arg + "'").c_str());
    }
    if (arg == "--root") root = v;
    if (arg == "--listen") listen = v;
    if (arg == "--path") options.path = v;
    if (arg == "--tls-cert") options.tlsCertFile = v;
    if (arg == "--tls-key") options.tlsKeyFile = v;
    if (arg == "--stats") statsDatabase = v;
    if (arg == "--replica") options.replica = v;
    if (arg == "--admin") admin = v;
    if (arg == "--threads") {
      const int n = std::atoi(v);
      if (n < 2 || n > 1024) return Usage("--threads needs a number from 2 to 1024");
      options.limits.threads = static_cast<size_t>(n);
    }
    if (arg == "--queue" || arg == "--per-address" || arg == "--request-timeout") {
      const std::string text = v;
      const long n = text.empty() || text.size() > 6 || text.find_first_not_of("0123456789") != std::string::npos
                         ? -1
                         : std::atol(v);
      if (arg == "--queue" && n >= 1)
        options.limits.queue = static_cast<size_t>(n);
      else if (arg == "--per-address" && n >= 0)
        options.limits.perAddress = static_cast<size_t>(n);
      else if (arg == "--request-timeout" && n >= 1 && n <= 3600)
        options.limits.requestSeconds = static_cast<int>(n);
      else
        return Usage((arg + " needs a number" + (arg == "--per-address" ? "" : " of at least 1")).c_str());
    }
  }
  if (root.empty()) return Usage("--root is required");
  if (options.path.empty() || options.path[0] != '/') return Usage("--path must start with '/'");
  if (!ParseListen(listen, options.host, options.port)) return Usage("--listen needs ADDR:PORT");
  if (options.tlsCertFile.empty() != options.tlsKeyFile.empty()) return Usage("--tls-cert and --tls-key go together");
  if (!admin.empty() && !ParseListen(admin, adminHost, adminPort)) return Usage("--admin needs ADDR:PORT");
  if (statsDatabase.empty()) statsDatabase = root + "/stats.sqlite";

  std::vector<std::string> errors;
  auto catalog = Catalog::Load(root, errors);
  if (!catalog) {
    PrintErrors(errors);
    std::fprintf(stderr, "quon-update-server: the catalog has errors; not started\n");
    return 1;
  }
  for (const auto& w : catalog->Warnings()) std::fprintf(stderr, "warning: %s\n", w.c_str());
  auto shared = std::make_shared<const Catalog>(std::move(*catalog));
  const size_t count = shared->Entries().size();

  HttpServer server(options, shared);
  std::unique_ptr<StatsRecorder> stats;
  std::unique_ptr<httplib::Server> adminServer;
  std::thread adminThread;
  std::atomic<bool> stopping{false};
  std::atomic<bool> finished{false};
  // Before any server thread starts, so that they all leave the signals to
  // the watcher.
  SignalWatcher signals(
      [&] {
        stopping = true;
        // The server may be between binding and serving; ask until it ends.
        // Transfers end at their next block, but a client that has stopped
        // reading holds its worker until the write timeout: after a grace
        // period such connections are simply cut by ending the process.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
        while (!finished && std::chrono::steady_clock::now() < deadline) {
          server.Stop();
          std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        if (!finished) {
          if (stats) stats->Stop();
          server.Log("stopped; connections still open were cut");
          std::fflush(nullptr);
          std::_Exit(0);
        }
      },
      [&] {
        std::vector<std::string> problems;
        auto fresh = Catalog::Load(root, problems);
        if (!fresh) {
          for (const auto& p : problems) server.Log("catalog: " + p);
          server.Log("catalog not reloaded: keeping the previous one");
          return;
        }
        for (const auto& w : fresh->Warnings()) server.Log("catalog: warning: " + w);
        const size_t n = fresh->Entries().size();
        server.ReplaceCatalog(std::make_shared<const Catalog>(std::move(*fresh)));
        server.Log("catalog reloaded: " + std::to_string(n) + " updates");
      });

  if (!server.TlsReady()) {
    std::fprintf(stderr, "quon-update-server: cannot use the TLS certificate '%s' with the key '%s'\n",
                 options.tlsCertFile.c_str(), options.tlsKeyFile.c_str());
    finished = true;
    return 1;
  }
  const int port = server.Bind();
  if (port < 0) {
    std::fprintf(stderr, "quon-update-server: cannot listen on %s: %s\n", listen.c_str(), std::strerror(errno));
    finished = true;
    return 1;
  }
  const std::string shownHost =
      options.host.find(':') != std::string::npos ? "[" + options.host + "]" : options.host;
  if (options.replica.empty()) options.replica = HostName() + ":" + std::to_string(port);
  server.SetReplica(options.replica);
  if (auto store = MakeStatsStore(statsDatabase)) {
    server.Log("figures: " + store->Describe() + ", as replica " + options.replica);
    stats = std::make_unique<StatsRecorder>(std::move(store), [&server](const std::string& line) { server.Log(line); });
    server.SetStats(stats.get());
  } else {
    server.Log("figures: off");
  }
  if (!admin.empty()) {
    adminServer = std::make_unique<httplib::Server>();
    adminServer->new_task_queue = [] { return new httplib::ThreadPool(2); };
    adminServer->Get("/metrics", [&server](const httplib::Request&, httplib::Response& res) {
      res.set_content(server.RenderMetrics(), "text/plain; version=0.0.4");
    });
    const int bound = adminPort == 0 ? adminServer->bind_to_any_port(adminHost)
                                     : (adminServer->bind_to_port(adminHost, adminPort) ? adminPort : -1);
    if (bound <= 0) {
      std::fprintf(stderr, "quon-update-server: cannot listen on %s: %s\n", admin.c_str(), std::strerror(errno));
      finished = true;
      return 1;
    }
    adminThread = std::thread([&] { adminServer->listen_after_bind(); });
    server.Log("metrics at http://" + admin.substr(0, admin.rfind(':')) + ":" + std::to_string(bound) + "/metrics");
  }

  std::printf("listening on %s:%d\n", shownHost.c_str(), port);
  std::fflush(stdout);
  server.Log("serving " + std::to_string(count) + " updates from " + root + " at " + options.path);

  bool ok = stopping || server.Run();
  finished = true;
  ok = ok || stopping;
  if (adminServer) {
    adminServer->stop();
    adminThread.join();
  }
  if (stats) stats->Stop();
  server.Log(ok ? "stopped" : "the server failed");
  return ok ? 0 : 1;
}
