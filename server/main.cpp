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

#include "ArchiveDigests.h"
#include "Catalog.h"
#include "HttpServer.h"
#include "Mirror.h"
#include "MirrorWire.h"
#include "Report.h"
#include "Signals.h"
#include "Stats.h"
#include "base/BuildConfig.h"

using namespace quon::server;

namespace {

const char kUsage[] =
    "usage: quon-update-server --root DIR [--listen ADDR:PORT] [--path PATH] [--threads N] [--stats DB]\n"
    "                          [--replica NAME] [--admin ADDR:PORT] ...\n"
    "       quon-update-server --upstream URL --root DIR [--listen ADDR:PORT] [--approved FILE] ...\n"
    "       quon-update-server report [--root DIR] [--stats DB] -o FILE.html\n"
    "  --root DIR          directory holding catalog.ini and the update archives (a mirror: its cache/)\n"
    "  --listen ADDR:PORT  address to listen on (default 127.0.0.1:8080; port 0 picks a free port)\n"
    "  --path PATH         the update service page (default %s)\n"
    "  --threads N         event-loop threads serving the connections (default 4)\n"
    "  --queue N           connections the kernel holds before they are accepted (default 1024)\n"
    "  --connections N     connections open at once (default 16384, at most what the open-file limit allows)\n"
    "  --per-address N     connections open at once from one address (default 16; 0: no limit)\n"
    "  --request-timeout S seconds for a request's head and body to arrive (default 10)\n"
    "  --stats DB          where the figures go: an SQLite file (default DIR/stats.sqlite),\n"
    "                      postgresql://USER@HOST/DBNAME (shared by replicas), or off\n"
    "  --replica NAME      this server's name in the figures (default HOSTNAME:PORT)\n"
    "  --admin ADDR:PORT   serve GET /metrics (Prometheus text format) there; off unless given\n"
    "  --tls-cert F --tls-key F\n"
    "                      serve HTTPS with this certificate (PEM, chain after it) and key (PEM)\n"
    "A site mirror (--upstream) passes each request on to the upstream server's service page URL and\n"
    "keeps the archives it sends in DIR/cache/:\n"
    "  --upstream URL      the upstream's service page, http://HOST[:PORT]/PATH or https://...\n"
    "  --approved FILE     serve only these update numbers (one a line, '#' comments; read again on SIGHUP)\n"
    "  --upstream-ca F     certificate authorities (PEM) trusted for an https upstream (default: the system's)\n"
    "  --upstream-proxy URL  the proxy to reach the upstream through (default: none)\n"
    "  --upstream-connections N  connections to the upstream at once (default 8)\n"
    "report writes the figures as one HTML file with its charts, readable without a server.\n"
    "The first line on standard output is \"listening on ADDR:PORT\" once connections are accepted.\n"
    "SIGHUP reloads the catalog (a mirror: the approved updates); SIGINT and SIGTERM stop the server.\n";

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
  std::string upstream;
  MirrorOptions mirrorOptions;
  bool upstreamConnectionsGiven = false;
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
        arg == "--tls-key" || arg == "--queue" || arg == "--connections" || arg == "--per-address" ||
        arg == "--request-timeout" || arg == "--stats" || arg == "--replica" || arg == "--admin" ||
        arg == "--upstream" || arg == "--approved" || arg == "--upstream-ca" || arg == "--upstream-proxy" ||
        arg == "--upstream-connections") {
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
    if (arg == "--upstream") upstream = v;
    if (arg == "--approved") mirrorOptions.approvedFile = v;
    if (arg == "--upstream-ca") mirrorOptions.upstreamCa = v;
    if (arg == "--upstream-proxy") mirrorOptions.upstreamProxy = v;
    if (arg == "--upstream-connections") {
      const std::string text = v;
      const long n = text.empty() || text.size() > 3 || text.find_first_not_of("0123456789") != std::string::npos
                         ? -1
                         : std::atol(v);
      if (n < 1 || n > 256) return Usage("--upstream-connections needs a number from 1 to 256");
      mirrorOptions.upstreamConnections = static_cast<size_t>(n);
      upstreamConnectionsGiven = true;
    }
    if (arg == "--threads" || arg == "--queue" || arg == "--connections" || arg == "--per-address" ||
        arg == "--request-timeout") {
      const std::string text = v;
      const long n = text.empty() || text.size() > 6 || text.find_first_not_of("0123456789") != std::string::npos
                         ? -1
                         : std::atol(v);
      ConnectionLimits& limits = options.limits;
      if (arg == "--threads" && n >= 1 && n <= 1024)
        limits.threads = static_cast<size_t>(n);
      else if (arg == "--queue" && n >= 1)
        limits.queue = static_cast<size_t>(n);
      else if (arg == "--connections" && n >= 1)
        limits.connections = static_cast<size_t>(n);
      else if (arg == "--per-address" && n >= 0)
        limits.perAddress = static_cast<size_t>(n);
      else if (arg == "--request-timeout" && n >= 1 && n <= 3600)
        limits.requestSeconds = static_cast<int>(n);
      else
        return Usage((arg + " needs a number" +
                      (arg == "--per-address" ? ""
                       : arg == "--threads"   ? " from 1 to 1024"
                                              : " of at least 1"))
                         .c_str());
    }
  }
  if (root.empty()) return Usage("--root is required");
  if (options.path.empty() || options.path[0] != '/') return Usage("--path must start with '/'");
  if (!ParseListen(listen, options.host, options.port)) return Usage("--listen needs ADDR:PORT");
  if (options.tlsCertFile.empty() != options.tlsKeyFile.empty()) return Usage("--tls-cert and --tls-key go together");
  if (!admin.empty() && !ParseListen(admin, adminHost, adminPort)) return Usage("--admin needs ADDR:PORT");
  if (statsDatabase.empty()) statsDatabase = root + "/stats.sqlite";
  const bool mirrorMode = !upstream.empty();
  if (!mirrorMode && (!mirrorOptions.approvedFile.empty() || !mirrorOptions.upstreamCa.empty() ||
                      !mirrorOptions.upstreamProxy.empty() || upstreamConnectionsGiven))
    return Usage("--approved, --upstream-ca, --upstream-proxy and --upstream-connections go with --upstream");
  if (mirrorMode) {
    std::string why;
    const auto url = UpstreamServiceUrl(upstream, why);
    if (!url) return Usage(why.c_str());
    mirrorOptions.upstream = *url;
    mirrorOptions.root = root;
    // A bad list of approved updates is a mistake in the command, found
    // before anything starts.
    std::string error;
    if (!mirrorOptions.approvedFile.empty() && !ReadApprovedFile(mirrorOptions.approvedFile, error))
      return Usage(error.c_str());
  }

  // A mirror has no catalog: everything it serves comes from its upstream.
  std::shared_ptr<const Catalog> shared = std::make_shared<const Catalog>();
  if (!mirrorMode) {
    std::vector<std::string> errors;
    auto catalog = Catalog::Load(root, errors);
    if (!catalog) {
      PrintErrors(errors);
      std::fprintf(stderr, "quon-update-server: the catalog has errors; not started\n");
      return 1;
    }
    for (const auto& w : catalog->Warnings()) std::fprintf(stderr, "warning: %s\n", w.c_str());
    shared = std::make_shared<const Catalog>(std::move(*catalog));
  }
  const size_t count = shared->Entries().size();

  HttpServer server(options, shared);
  std::unique_ptr<StatsRecorder> stats;
  std::unique_ptr<ArchiveDigests> digests;
  std::unique_ptr<Mirror> mirror;
  // Each archive's SHA-256, read once when a catalog is read: the file
  // replies announce it and resume from it.
  auto computeDigests = [&](const Catalog& catalog) {
    const auto start = std::chrono::steady_clock::now();
    size_t files = 0;
    uint64_t bytes = 0;
    for (const CatalogEntry& e : catalog.Entries()) {
      const auto archive = catalog.OpenArchive(e);
      if (!archive || archive->Size() > kMaxArchiveSize || !digests->Find(*archive).empty()) continue;
      if (digests->Compute(*archive)) {
        ++files;
        bytes += archive->Size();
      }
    }
    char line[128];
    std::snprintf(line, sizeof line, "digests: %zu archives (%.1f MiB) read in %.1f s", files,
                  static_cast<double>(bytes) / (1 << 20),
                  std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    server.Log(line);
  };
  std::atomic<bool> stopping{false};
  std::atomic<bool> finished{false};
  // Before any server thread starts, so that they all leave the signals to
  // the watcher.
  SignalWatcher signals(
      [&] {
        stopping = true;
        // The server may be between binding and serving; ask until it ends.
        // Stopping closes every connection, downloads under way included;
        // should that take longer than a grace period, ending the process
        // cuts what is left.
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
        if (mirror) {
          server.Log(mirror->ReloadApproved());
          return;
        }
        if (!digests) return;
        std::vector<std::string> problems;
        auto fresh = Catalog::Load(root, problems);
        if (!fresh) {
          for (const auto& p : problems) server.Log("catalog: " + p);
          server.Log("catalog not reloaded: keeping the previous one");
          return;
        }
        for (const auto& w : fresh->Warnings()) server.Log("catalog: warning: " + w);
        computeDigests(*fresh);
        const size_t n = fresh->Entries().size();
        server.ReplaceCatalog(std::make_shared<const Catalog>(std::move(*fresh)));
        server.Log("catalog reloaded: " + std::to_string(n) + " updates");
      });

  // After the signal watcher, so that their threads leave the signals to it.
  if (mirrorMode) {
    std::string error;
    bool approvedError = false;
    mirror = Mirror::Create(
        mirrorOptions, [&server](const std::string& line) { server.Log(line); }, error, approvedError);
    if (!mirror) {
      std::fprintf(stderr, "quon-update-server: %s\n", error.c_str());
      finished = true;
      return approvedError ? 2 : 1;
    }
    server.SetMirror(mirror.get());
  } else {
    digests = std::make_unique<ArchiveDigests>();
    computeDigests(*shared);
    server.SetDigests(digests.get());
  }

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
    const int bound = server.BindAdmin(adminHost, adminPort);
    if (bound < 0) {
      std::fprintf(stderr, "quon-update-server: cannot listen on %s: %s\n", admin.c_str(), std::strerror(errno));
      finished = true;
      return 1;
    }
    server.Log("metrics at http://" + admin.substr(0, admin.rfind(':')) + ":" + std::to_string(bound) + "/metrics");
  }

  std::printf("listening on %s:%d\n", shownHost.c_str(), port);
  std::fflush(stdout);
  if (mirror)
    server.Log("serving as a " + mirror->Describe() + ", at " + options.path);
  else
    server.Log("serving " + std::to_string(count) + " updates from " + root + " at " + options.path);

  bool ok = stopping || server.Run();
  finished = true;
  ok = ok || stopping;
  if (stats) stats->Stop();
  server.Log(ok ? "stopped" : "the server failed");
  return ok ? 0 : 1;
}
