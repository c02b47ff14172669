// The bytes a server sends for one archive whose download is cut once at
// 90% and then resumed (the goal: at most 1.15 times the archive), against
// a scripted resuming server over loopback, through DownloadToFile with
// the program's own pause before the retry. Reports sent_per_archive (all
// bytes the server wrote, HTTP heads included, over the archive's size) and
// bytes_beyond_archive. The time includes that pause (1 to 1.5 s).
//
//   QUON_BENCH_MIB=256 QUON_BENCH_DIR=/dev/shm build/default/bench/bench_net_resume
// QUON_BENCH_MIB: archive size (default 256); QUON_BENCH_DIR: where the
// download goes (default the temporary directory); QUON_BENCH_ROUNDS:
// repetitions (default 3).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

#include "BenchSettings.h"
#include "net/ArchiveDigest.h"
#include "net/ServerCalls.h"
#include "platform/posix/CurlHttpClient.h"
#include "support/HeadlessWaitHost.h"
#include "support/NetTestSupport.h"
#include "support/ResumingServer.h"

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

void BM_ResumeAfterCutAt90Percent(benchmark::State& state) {
  const size_t size = static_cast<size_t>(quon::bench::DataMiB(256)) << 20;
  const fs::path dir =
      quon::bench::WorkDir(fs::temp_directory_path()) / ("quon-resume-bench-" + std::to_string(getpid()));
  fs::create_directories(dir);
  auto script = std::make_shared<quon::test::ResumeScript>();
  script->archive = quon::test::Pattern(size, 9);
  ArchiveDigest digest;
  digest.Update(script->archive.data(), script->archive.size());
  script->sha256 = digest.HexDigest();
  quon::test::FaultServer server(quon::test::ResumingServer(script));

  Prompts prompts;
  CurlHttpClient client(prompts);
  HeadlessWaitHost host;
  NetEnvironment env{client, prompts, host};
  const std::string path = (dir / "update1.0000").string();
  double sent = 0;
  double extra = 0;
  for (auto _ : state) {
    script->bytesSent = 0;
    const int first = script->requests.load();
    script->cutAt = [first, size](int index) { return index == first ? size / 10 * 9 : std::string::npos; };
    FieldMap fields;
    quon::test::FillIdentity(fields, "6.0.121.3");
    fields.Set("TableID", "1");
    const int result = DownloadToFile(env, quon::test::LocalCall(server.Port(), "GetUpgradeFile"), fields, path);
    if (result != 1 || fs::file_size(path) != size || script->requests.load() != first + 2) {
      state.SkipWithError("the download did not resume");
    }
    sent += static_cast<double>(script->bytesSent.load()) / static_cast<double>(size);
    extra += static_cast<double>(script->bytesSent.load()) - static_cast<double>(size);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
  state.counters["sent_per_archive"] = sent / static_cast<double>(state.iterations());
  // What the server sent beyond one archive (heads, and data sent twice).
  state.counters["bytes_beyond_archive"] = extra / static_cast<double>(state.iterations());
  server.Stop();
  std::error_code ec;
  fs::remove_all(dir, ec);
}

BENCHMARK(BM_ResumeAfterCutAt90Percent)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(1)
    ->Repetitions(static_cast<int>(quon::bench::Rounds(3)));

}  // namespace

BENCHMARK_MAIN();
