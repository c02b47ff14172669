// List requests per second and download throughput of quon-update-server
// on loopback: one replica with the figures off and on (SQLite), and three
// replicas behind nginx (TLS, figures in a shared PostgreSQL) beside one
// replica behind the same nginx. Each round runs QUON_BENCH_SECONDS
// (default 5) with QUON_BENCH_CLIENTS (default 8) clients that keep their
// connection open and ask again as soon as they have an answer. Also: the
// server's memory with 10,000 idle connections from 50 addresses and how
// fast it answers a real request meanwhile; and the report over a million
// generated requests (QUON_BENCH_EVENTS), over 100,000 installations, once
// on a few versions and once with 100,000 versions invented by clients.
// QUON_TEST_SERVER_BIN runs another build of the server, for comparison.
//   build/default/bench/bench_server [--benchmark_filter=...]
#include <benchmark/benchmark.h>
#include <curl/curl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <thread>

#include "BenchSettings.h"
#include "Stats.h"
#include "base/BuildConfig.h"
#include "support/ServerFarm.h"
#include "support/ServerProcess.h"
#include "support/ServiceRequests.h"

namespace quon::test {
namespace {

double Seconds() {
  const char* s = std::getenv("QUON_BENCH_SECONDS");
  return s ? std::atof(s) : 5.0;
}

int Clients() {
  const char* s = std::getenv("QUON_BENCH_CLIENTS");
  return s ? std::atoi(s) : 8;
}

// The servers of one configuration, started once for all its rounds.
struct Farm {
  enum Figures { kOff, kSqlite, kPostgres };
  Farm(int replicaCount, bool nginx, Figures figures) {
    root.Write("a.cab", RandomBytes(64 << 20, 1));
    root.Write("catalog.ini",
               "[update 7]\nposted = 2026-05-04\nname = N\ndescription = D\napplies-to = 6.0.121.3\n"
               "archive = a.cab\nbrings = 6.0.122.3\n"
               "[update 8]\nposted = 2026-05-04\nname = M\ndescription = E\napplies-to = 6.0.121.3\n"
               "archive = a.cab\nbrings = 6.0.121.4\n");
    if (figures == kPostgres) {
      if (!PostgresServer::Missing().empty()) {
        problem = PostgresServer::Missing();
        return;
      }
      postgres = std::make_unique<PostgresServer>();
      if (!postgres->Running()) {
        problem = postgres->Problem();
        return;
      }
    }
    std::vector<int> ports;
    for (int i = 0; i < replicaCount; ++i) {
      std::vector<std::string> args = {"--per-address", "0", "--replica", "r" + std::to_string(i + 1), "--stats"};
      args.push_back(figures == kOff ? "off" : figures == kSqlite ? stats.Path("r.sqlite") : postgres->Uri());
      replicas.push_back(std::make_unique<ServerProcess>());
      if (!replicas.back()->Start(root.Root().string(), args)) {
        problem = replicas.back()->Error();
        return;
      }
      ports.push_back(replicas.back()->Port());
    }
    if (!nginx) {
      url = replicas[0]->Url(kUpdatePath);
      return;
    }
    if (!NginxFront::Missing().empty() || !MakeTestTlsCertificates(pki.Root().string())) {
      problem = NginxFront::Missing().empty() ? "openssl could not make certificates" : NginxFront::Missing();
      return;
    }
    // The servers are measured, not the recipe's limit on list requests
    // of one address.
    front = std::make_unique<NginxFront>(QUON_NGINX_RECIPE, ports, pki.Path("server.pem"), pki.Path("server-key.pem"),
                                         false);
    if (!front->Running()) problem = front->Problem();
    url = "https://127.0.0.1:" + std::to_string(front->Port()) + std::string(kUpdatePath);
    caFile = pki.Path("ca.pem");
  }

  TempDir root, stats, pki;
  std::unique_ptr<PostgresServer> postgres;
  std::vector<std::unique_ptr<ServerProcess>> replicas;
  std::unique_ptr<NginxFront> front;
  std::string url, caFile, problem;
};

size_t Discard(char*, size_t size, size_t n, void* counted) {
  *static_cast<uint64_t*>(counted) += size * n;
  return size * n;
}

struct RoundResult {
  uint64_t answered = 0, failed = 0, bytes = 0;
};

// Every client posts `body` again and again on one kept connection until
// the time is up.
RoundResult Round(const Farm& farm, const std::string& query, const std::string& body, uint64_t expectedBytes) {
  std::atomic<uint64_t> answered{0}, failed{0}, bytes{0};
  const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(Seconds());
  std::vector<std::thread> clients;
  for (int c = 0; c < Clients(); ++c) {
    clients.emplace_back([&] {
      CURL* curl = curl_easy_init();
      curl_slist* headers = curl_slist_append(nullptr, "Content-Type: application/x-quon-encoded");
      headers = curl_slist_append(headers, "Expect:");
      const std::string url = farm.url + "?" + query;
      curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
      curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
      curl_easy_setopt(curl, CURLOPT_TIMEOUT, 60L);
      curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
      curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.data());
      curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
      curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, Discard);
      if (!farm.caFile.empty()) curl_easy_setopt(curl, CURLOPT_CAINFO, farm.caFile.c_str());
      while (std::chrono::steady_clock::now() < end) {
        uint64_t got = 0;
        curl_easy_setopt(curl, CURLOPT_WRITEDATA, &got);
        long status = 0;
        if (curl_easy_perform(curl) == CURLE_OK) curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
        if (status == 200 && got == expectedBytes) {
          ++answered;
          bytes += got;
        } else {
          ++failed;
        }
      }
      curl_slist_free_all(headers);
      curl_easy_cleanup(curl);
    });
  }
  for (auto& t : clients) t.join();
  return {answered, failed, bytes};
}

void Lists(benchmark::State& state, int replicas, bool nginx, Farm::Figures figures) {
  Farm farm(replicas, nginx, figures);
  if (!farm.problem.empty()) {
    state.SkipWithError(farm.problem.c_str());
    return;
  }
  const std::string body = ListBody("6.0.121.3", "1");
  const std::string sample =
      HttpRequest("POST", farm.url + "?GetUpgradeList", body, {"Expect:"}, true, farm.caFile).body;
  RoundResult total;
  for (auto _ : state) {
    const RoundResult r = Round(farm, "GetUpgradeList", body, sample.size());
    total.answered += r.answered;
    total.failed += r.failed;
  }
  state.counters["lists_per_s"] = benchmark::Counter(static_cast<double>(total.answered), benchmark::Counter::kIsRate);
  state.counters["failed"] = static_cast<double>(total.failed);
}

void Downloads(benchmark::State& state, int replicas, bool nginx, Farm::Figures figures) {
  Farm farm(replicas, nginx, figures);
  if (!farm.problem.empty()) {
    state.SkipWithError(farm.problem.c_str());
    return;
  }
  const std::string body = FileBody("7", "6.0.121.3", "4711");
  const uint64_t expected = FileReplyBytes("4711", "6.0.122.3", std::string(64 << 20, '\0')).size();
  RoundResult total;
  for (auto _ : state) {
    const RoundResult r = Round(farm, "GetUpgradeFile", body, expected);
    total.bytes += r.bytes;
    total.failed += r.failed;
  }
  state.counters["MiB_per_s"] =
      benchmark::Counter(static_cast<double>(total.bytes) / (1 << 20), benchmark::Counter::kIsRate);
  state.counters["failed"] = static_cast<double>(total.failed);
}

// 10,000 connections from 127.0.0.2 .. 127.0.0.51 that send nothing, held
// for a moment (a connection may stay silent for 5 s); meanwhile 20 list
// requests from 127.0.0.1, each on a new connection.
void IdleConnections(benchmark::State& state) {
  TempDir root;
  root.Write("catalog.ini",
             "[update 7]\nposted = 2026-05-04\nname = N\ndescription = D\napplies-to = 6.0.121.3\n"
             "archive = a.cab\nbrings = 6.0.122.3\n");
  root.Write("a.cab", "MSCF");
  ServerProcess server;
  if (!server.Start(root.Root().string(), {"--per-address", "0", "--stats", "off"})) {
    state.SkipWithError(server.Error().c_str());
    return;
  }
  const int total = static_cast<int>(bench::Setting("QUON_BENCH_CONNECTIONS", 10000));
  double slowestMs = 0;
  int held = 0, failed = 0;
  for (auto _ : state) {
    std::vector<int> fds;
    for (int i = 0; i < total; ++i) {
      const int fd = ConnectLoopback(server.Port(), ("127.0.0." + std::to_string(2 + i % 50)).c_str());
      if (fd >= 0) fds.push_back(fd);
    }
    for (int i = 0; i < 20; ++i) {
      const auto start = std::chrono::steady_clock::now();
      const HttpReply reply = HttpPost(server.Url(std::string(kUpdatePath) + "?GetUpgradeList"), ListBody("6.0.121.3"));
      slowestMs = std::max(slowestMs,
                           std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
      failed += reply.status != 200;
    }
    // Still open: a read finds nothing yet (a closed one reads 0 or fails).
    for (int fd : fds) {
      char byte;
      held += recv(fd, &byte, 1, MSG_DONTWAIT) < 0 && errno == EAGAIN;
      close(fd);
    }
  }
  state.counters["held"] = held;
  state.counters["peak_MiB"] = static_cast<double>(PeakMemoryKiB(server.Pid())) / 1024;
  state.counters["slowest_request_ms"] = slowestMs;
  state.counters["requests_failed"] = failed;
}

// A database of `events` requests over 100,000 installations and 60 days;
// versions: a few real ones, or (invented) one per installation.
void GenerateFigures(const std::string& file, long events, bool invented) {
  auto store = server::MakeStatsStore(file);
  std::string error;
  store->Open(error);
  std::vector<server::StatsEvent> batch;
  const int64_t start = 1772323200000;
  const char* const versions[] = {"6.0.121.3", "6.0.121.4", "6.0.122.3", "6.0.122.4"};
  for (long i = 0; i < events; ++i) {
    server::StatsEvent e;
    const long who = (i * 7919) % 100000;
    e.atMs = start + i * (60LL * 86400000 / events);
    e.identity = "identity-" + std::to_string(who);
    e.replica = "r1";
    e.installed = invented ? "9." + std::to_string(who / 1000) + "." + std::to_string(who % 1000) + ".1"
                           : versions[(who + i / 300000) % 4];
    if (i % 10 == 9) {
      e.kind = server::StatsEvent::kDownload;
      e.updateId = 101;
      e.brings = "6.0.122.3";
      e.size = e.bytes = 1000;
      e.complete = i % 20 == 9;
    } else {
      e.offered = who % 3 ? "101,102" : "";
    }
    batch.push_back(std::move(e));
    if (batch.size() == 50000 || i + 1 == events) {
      store->Write(batch, error);
      batch.clear();
    }
  }
}

// `quon-update-server report` over the generated figures: its time, peak
// memory and the size of the page.
void Report(benchmark::State& state, bool invented) {
  TempDir dir;
  const long events = bench::Setting("QUON_BENCH_EVENTS", 1000000);
  GenerateFigures(dir.Path("figures.sqlite"), events, invented);
  const char* other = std::getenv("QUON_TEST_SERVER_BIN");
  const std::string program = other && *other ? other : QUON_SERVER_BIN;
  double seconds = 0;
  long peakKiB = 0;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
      execl(program.c_str(), program.c_str(), "report", "--stats", dir.Path("figures.sqlite").c_str(), "-o",
            dir.Path("report.html").c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    peakKiB = usage.ru_maxrss;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) state.SkipWithError("the report failed");
  }
  state.counters["report_s"] = seconds;
  state.counters["peak_MiB"] = static_cast<double>(peakKiB) / 1024;
  state.counters["html_KiB"] = static_cast<double>(ReadFile(dir.Path("report.html")).size()) / 1024;
}

struct Config {
  const char* name;
  int replicas;
  bool nginx;
  Farm::Figures figures;
};
const Config kConfigs[] = {
    {"one_replica/figures_off", 1, false, Farm::kOff},
    {"one_replica/figures_sqlite", 1, false, Farm::kSqlite},
    {"one_replica_behind_nginx/figures_postgresql", 1, true, Farm::kPostgres},
    {"three_replicas_behind_nginx/figures_postgresql", 3, true, Farm::kPostgres},
};

int Register() {
  for (const Config& c : kConfigs) {
    benchmark::RegisterBenchmark((std::string("Lists/") + c.name).c_str(), Lists, c.replicas, c.nginx, c.figures)
        ->Iterations(1)
        ->UseRealTime()
        ->Unit(benchmark::kSecond);
    benchmark::RegisterBenchmark((std::string("Downloads/") + c.name).c_str(), Downloads, c.replicas, c.nginx,
                                 c.figures)
        ->Iterations(1)
        ->UseRealTime()
        ->Unit(benchmark::kSecond);
  }
  benchmark::RegisterBenchmark("IdleConnections/10000_from_50_addresses", IdleConnections)
      ->Iterations(1)
      ->UseRealTime()
      ->Unit(benchmark::kSecond);
  for (const bool invented : {false, true})
    benchmark::RegisterBenchmark(
        invented ? "Report/1M_requests_100k_invented_versions" : "Report/1M_requests_100k_installations", Report,
        invented)
        ->Iterations(1)
        ->UseRealTime()
        ->Unit(benchmark::kSecond);
  return 0;
}
const int kRegistered = Register();

}  // namespace
}  // namespace quon::test

BENCHMARK_MAIN();
