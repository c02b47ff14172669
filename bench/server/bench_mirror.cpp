// A site in front of the update server, on loopback:
//   Site/...: 20 updaters (QUON_BENCH_UPDATERS) list and download the same
//     archive (QUON_BENCH_MIB, default 64 MiB) at once, straight from the
//     server, through a site mirror whose cache is empty, and through it
//     again once it holds the archive: the time until the last has it all,
//     and the bytes the server sent (in archives: the WAN traffic of the site).
//   Resume/...: one download of a 256 MiB archive (QUON_BENCH_MIB) cut at
//     90% and asked again with `resumefrom` and `sha256`, as the updater
//     does: the bytes the server sent in all, against the archive.
// The bytes are the server's own count (quon_response_bytes_total on its
// admin address): what it handed to the network, cut connections included.
//   build/default/bench/bench_mirror [--benchmark_filter=...]
#include <benchmark/benchmark.h>
#include <curl/curl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <thread>

#include "BenchSettings.h"
#include "base/BuildConfig.h"
#include "support/ServerProcess.h"
#include "support/ServiceRequests.h"

namespace quon::test {
namespace {

const char kCatalog[] =
    "[update 7]\nposted = 2026-05-04\nname = N\ndescription = D\napplies-to = 6.0.121.3\n"
    "archive = a.cab\nbrings = 6.0.122.3\n";

// A server with its metrics on an admin address.
struct Metered {
  ServerProcess process;
  int adminPort = 0;
  bool Start(const std::string& root, std::vector<std::string> args) {
    args.insert(args.end(), {"--stats", "off", "--per-address", "0", "--admin", "127.0.0.1:0"});
    if (!process.Start(root, args)) return false;
    const std::string log = process.Log();
    const size_t at = log.find("metrics at http://127.0.0.1:");
    adminPort = at == std::string::npos ? 0 : std::atoi(log.c_str() + at + 28);
    return adminPort > 0;
  }
  // Body bytes the server has sent so far.
  double BytesSent() const {
    const std::string text =
        HttpRequest("GET", "http://127.0.0.1:" + std::to_string(adminPort) + "/metrics", "", {}).body;
    const size_t at = text.find("\nquon_response_bytes_total ");
    return at == std::string::npos ? -1 : std::atof(text.c_str() + at + 27);
  }
};

size_t Count(char*, size_t size, size_t n, void* counted) {
  *static_cast<uint64_t*>(counted) += size * n;
  return size * n;
}

// One updater: its list request, then the download, as HTTP/1.0 POSTs on
// connections of their own; true when the archive came whole.
bool Updater(const std::string& service, int who, uint64_t expected) {
  CURL* curl = curl_easy_init();
  curl_slist* headers = curl_slist_append(nullptr, "Content-Type: application/x-quon-encoded");
  headers = curl_slist_append(headers, "Expect:");
  bool ok = true;
  const Installation installation{std::to_string(1000 + who), "NET", "6.0"};
  for (const bool file : {false, true}) {
    const std::string body =
        file ? FileBody("7", "6.0.121.3", "4711", installation) : ListBody("6.0.121.3", "4711", installation);
    const std::string url = service + (file ? "?GetUpgradeFile" : "?GetUpgradeList");
    uint64_t got = 0;
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, 300L);
    curl_easy_setopt(curl, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_0);
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.data());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, Count);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &got);
    long status = 0;
    if (curl_easy_perform(curl) == CURLE_OK) curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    ok = ok && status == 200 && (!file || got == expected);
  }
  curl_slist_free_all(headers);
  curl_easy_cleanup(curl);
  return ok;
}

enum class Road { kStraight, kMirrorCold, kMirrorWarm };

void Site(benchmark::State& state, Road road) {
  const long mib = bench::DataMiB(64);
  const int updaters = static_cast<int>(bench::Setting("QUON_BENCH_UPDATERS", 20));
  TempDir upstreamRoot, mirrorRoot;
  const std::string archive = RandomBytes(static_cast<size_t>(mib) << 20, 1);
  upstreamRoot.Write("a.cab", archive);
  upstreamRoot.Write("catalog.ini", kCatalog);
  Metered upstream, mirror;
  if (!upstream.Start(upstreamRoot.Root().string(), {})) {
    state.SkipWithError(upstream.process.Error().c_str());
    return;
  }
  std::string service = upstream.process.Url(kUpdatePath);
  if (road != Road::kStraight) {
    if (!mirror.Start(mirrorRoot.Root().string(), {"--upstream", service})) {
      state.SkipWithError(mirror.process.Error().c_str());
      return;
    }
    service = mirror.process.Url(kUpdatePath);
    // A site whose mirror already holds the archive: one updater first.
    if (road == Road::kMirrorWarm) Updater(service, 0, FileReplyBytes("4711", "6.0.122.3", archive).size());
  }
  const uint64_t expected = FileReplyBytes("4711", "6.0.122.3", archive).size();
  double seconds = 0, sent = 0;
  int failed = 0;
  for (auto _ : state) {
    const double before = upstream.BytesSent();
    std::atomic<int> bad{0};
    const auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> site;
    for (int i = 0; i < updaters; ++i) site.emplace_back([&, i] { bad += !Updater(service, i + 1, expected); });
    for (auto& t : site) t.join();
    seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    // The server counts a request once its reply has gone.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    sent = upstream.BytesSent() - before;
    failed = bad;
  }
  state.counters["site_s"] = seconds;
  state.counters["upstream_MiB"] = sent / (1 << 20);
  state.counters["upstream_archives"] = sent / static_cast<double>(archive.size());
  state.counters["failed"] = failed;
}

// The raw bytes of a download, read until `stopAt` bytes of the reply body
// have arrived (then the connection is closed: a cut) or to its end.
uint64_t RawDownload(int port, const std::string& body, uint64_t stopAt) {
  const int fd = ConnectLoopback(port);
  if (fd < 0) return 0;
  timeval tv{30, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  const std::string request = RawPost("GetUpgradeFile", body);
  send(fd, request.data(), request.size(), MSG_NOSIGNAL);
  std::string head;
  uint64_t got = 0;
  std::vector<char> block(1 << 20);
  bool inBody = false;
  for (ssize_t n; got < stopAt && (n = recv(fd, block.data(), block.size(), 0)) > 0;) {
    if (!inBody) {
      head.append(block.data(), static_cast<size_t>(n));
      const size_t end = head.find("\r\n\r\n");
      if (end == std::string::npos) continue;
      inBody = true;
      got = head.size() - end - 4;
    } else {
      got += static_cast<uint64_t>(n);
    }
  }
  close(fd);
  return got;
}

void Resume(benchmark::State& state) {
  const long mib = bench::DataMiB(256);
  TempDir root;
  const std::string archive = RandomBytes(static_cast<size_t>(mib) << 20, 2);
  root.Write("a.cab", archive);
  root.Write("catalog.ini", kCatalog);
  Metered server;
  if (!server.Start(root.Root().string(), {})) {
    state.SkipWithError(server.process.Error().c_str());
    return;
  }
  const std::string sha = Sha256Hex(archive);
  // The HTTP body's bytes before the archive: BytesCount, its length and
  // the header text.
  const uint64_t headLength = FileReplyBytes("4711", "6.0.122.3", archive).size() - archive.size();
  double sent = 0, received = 0;
  for (auto _ : state) {
    const double before = server.BytesSent();
    // Cut at 90% of the archive; the updater then holds what it received.
    const uint64_t first =
        RawDownload(server.process.Port(), FileBody("7", "6.0.121.3"), headLength + archive.size() * 9 / 10);
    const uint64_t held = first > headLength ? first - headLength : 0;
    const std::string again = RequestBody("GetUpgradeFile", {{"code", "4711"},
                                                             {"VI", "2"},
                                                             {"KeyID", "1234"},
                                                             {"KeyType", "std"},
                                                             {"KeyVersion", "6"},
                                                             {"updateversion", "6.0.121.3"},
                                                             {"TableID", "7"},
                                                             {"DB", "usermt"},
                                                             {"resumefrom", std::to_string(held)},
                                                             {"sha256", sha}});
    const uint64_t second = RawDownload(server.process.Port(), again, ~0ull);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    sent = server.BytesSent() - before;
    received = static_cast<double>(first + second);
  }
  state.counters["server_MiB"] = sent / (1 << 20);
  state.counters["server_bytes_per_archive"] = sent / static_cast<double>(archive.size());
  state.counters["received_bytes_per_archive"] = received / static_cast<double>(archive.size());
}

int Register() {
  for (const auto& [name, road] : {std::pair{"Site/20_updaters/straight", Road::kStraight},
                                   std::pair{"Site/20_updaters/through_mirror_cold", Road::kMirrorCold},
                                   std::pair{"Site/20_updaters/through_mirror_warm", Road::kMirrorWarm}})
    benchmark::RegisterBenchmark(name, Site, road)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);
  benchmark::RegisterBenchmark("Resume/256MiB_cut_at_90pct", Resume)
      ->Iterations(1)
      ->UseRealTime()
      ->Unit(benchmark::kSecond);
  return 0;
}
const int kRegistered = Register();

}  // namespace
}  // namespace quon::test

BENCHMARK_MAIN();
