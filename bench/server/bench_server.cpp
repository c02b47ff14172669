// List requests per second and download throughput of quon-update-server
// on loopback: one replica with the figures off and on (SQLite), and three
// replicas behind nginx (TLS, figures in a shared PostgreSQL) beside one
// replica behind the same nginx. Each round runs QUON_BENCH_SECONDS
// (default 5) with QUON_BENCH_CLIENTS (default 8) clients that keep their
// connection open and ask again as soon as they have an answer.
//   build/default/bench/bench_server [--benchmark_filter=...]
#include <benchmark/benchmark.h>
#include <curl/curl.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <thread>

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
    front = std::make_unique<NginxFront>(QUON_NGINX_RECIPE, ports, pki.Path("server.pem"), pki.Path("server-key.pem"));
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
  return 0;
}
const int kRegistered = Register();

}  // namespace
}  // namespace quon::test

BENCHMARK_MAIN();
