// DownloadToFile of one large archive from the reference server over
// loopback, beside curl fetching the same reply from the same server.
// Reports throughput and, for DownloadToFile, the growth of the peak
// resident memory during the download.
//
//   build/default/bench/bench_net_download --benchmark_enable_random_interleaving=true
//   QUON_BENCH_MIB=256 QUON_BENCH_DIR=/dev/shm build/default/bench/bench_net_download
// QUON_BENCH_MIB: archive size (default 1024); QUON_BENCH_DIR: where the
// archive and both downloads go (default the temporary directory);
// QUON_BENCH_ROUNDS: repetitions of each (default 5).
// cpu_s counts the whole process (all threads) for DownloadToFile and the
// curl child for curl.
#include <benchmark/benchmark.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "BenchSettings.h"
#include "net/FieldMap.h"
#include "net/PayloadCodec.h"
#include "net/ServerCalls.h"
#include "platform/posix/CurlHttpClient.h"
#include "support/HeadlessWaitHost.h"
#include "support/NetTestSupport.h"
#include "support/ReferenceServer.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using namespace quon;

class Prompts : public UserPrompts {
 public:
  int MessageBox(std::string_view text, MsgButtons, MsgIcon) override {
    std::fprintf(stderr, "message box: %.*s\n", static_cast<int>(text.size()), text.data());
    return kIdOk;
  }
  bool PromptProxyCredentials(std::string_view, std::string&, std::string&) override { return false; }
};

// /proc/self/status value in KiB.
long StatusKiB(const char* key) {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(key, 0) == 0) return std::atol(line.c_str() + std::strlen(key));
  }
  return -1;
}

double CpuSeconds(int who) {
  rusage usage{};
  getrusage(who, &usage);
  return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Resets the peak resident size to the current one.
void ResetPeakRss() { std::ofstream("/proc/self/clear_refs") << "5"; }

struct Fixture {
  Fixture() {
    size = static_cast<uint64_t>(quon::bench::DataMiB(1024)) << 20;
    dir = quon::bench::WorkDir(fs::temp_directory_path()) / ("quon-net-bench-" + std::to_string(getpid()));
    fs::create_directories(dir / "root");
    {
      std::ofstream out(dir / "root" / "big.cab", std::ios::binary);
      std::vector<char> block(1 << 20);
      for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>(i * 31 + (i >> 11));
      for (uint64_t written = 0; written < size; written += block.size()) out.write(block.data(), block.size());
    }
    quon::test::WriteCatalog((dir / "root").string(), 1, "6.0.121.3", "6.0.122.3", "big.cab");
    server = std::make_unique<quon::test::ReferenceServer>(QUON_UPDATE_SERVER_EXE, (dir / "root").string());
    if (!server->Running()) {
      std::fprintf(stderr, "%s\n", server->Problem().c_str());
      std::exit(1);
    }
    // The request body curl posts: what the updater would send.
    FieldMap fields;
    Request(fields);
    fields.Set("code", "4711");
    fields.Set("VI", "2");
    std::ofstream(dir / "body", std::ios::binary) << "GetUpgradeFile" + EncodeFields(fields, true);
  }
  ~Fixture() {
    server.reset();
    std::error_code ec;
    fs::remove_all(dir, ec);
  }
  static void Request(FieldMap& fields) {
    quon::test::FillIdentity(fields, "6.0.121.3");
    fields.Set("TableID", "1");
  }
  std::string Url() const {
    return "http://127.0.0.1:" + std::to_string(server->Port()) + "/quonupdate/service.asp?GetUpgradeFile";
  }

  uint64_t size;
  fs::path dir;
  std::unique_ptr<quon::test::ReferenceServer> server;
};

Fixture& Shared() {
  static Fixture fixture;
  return fixture;
}

void BM_DownloadToFile(benchmark::State& state) {
  Fixture& f = Shared();
  Prompts prompts;
  CurlHttpClient client(prompts);
  HeadlessWaitHost host;
  NetEnvironment env{client, prompts, host};
  const ServerCall call = quon::test::LocalCall(f.server->Port(), "GetUpgradeFile");
  const std::string path = (f.dir / "download.0000").string();
  long growthKiB = 0;
  double cpu = 0;
  for (auto _ : state) {
    FieldMap fields;
    Fixture::Request(fields);
    ResetPeakRss();
    const long before = StatusKiB("VmRSS:");
    const double cpuBefore = CpuSeconds(RUSAGE_SELF);
    int result = DownloadToFile(env, call, fields, path);
    cpu += CpuSeconds(RUSAGE_SELF) - cpuBefore;
    growthKiB = std::max(growthKiB, StatusKiB("VmHWM:") - before);
    if (result != 1 || fs::file_size(path) != f.size) state.SkipWithError("download failed");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * f.size));
  state.counters["peak_rss_growth_KiB"] = static_cast<double>(growthKiB);
  state.counters["cpu_s"] = cpu / static_cast<double>(state.iterations());
}

void BM_CurlCommandLine(benchmark::State& state) {
  Fixture& f = Shared();
  const std::string out = (f.dir / "curl.out").string();
  const std::string body = "@" + (f.dir / "body").string();
  const std::string url = f.Url();
  double cpu = 0;
  for (auto _ : state) {
    const double cpuBefore = CpuSeconds(RUSAGE_CHILDREN);
    std::vector<std::string> args = {"curl", "-s", "-0", "--data-binary", body, "-H",
                                     "Content-Type: application/x-quon-encoded", "-o", out, url};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid;
    if (posix_spawnp(&pid, "curl", nullptr, nullptr, argv.data(), environ) != 0) {
      state.SkipWithError("curl could not be started");
      break;
    }
    int status = 0;
    waitpid(pid, &status, 0);
    cpu += CpuSeconds(RUSAGE_CHILDREN) - cpuBefore;
    if (status != 0 || fs::file_size(out) < f.size) state.SkipWithError("curl failed");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * f.size));
  state.counters["cpu_s"] = cpu / static_cast<double>(state.iterations());
}

BENCHMARK(BM_DownloadToFile)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(1)
    ->Repetitions(static_cast<int>(quon::bench::Rounds(5)));
BENCHMARK(BM_CurlCommandLine)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(1)
    ->Repetitions(static_cast<int>(quon::bench::Rounds(5)));

}  // namespace

BENCHMARK_MAIN();
