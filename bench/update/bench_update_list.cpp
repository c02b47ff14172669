// The start of a run (discovery, the GetUpgradeList exchange over loopback,
// the reply table and the list page) against a scripted server whose reply
// table is QUON_BENCH_MIB MiB (default 15) of bare ";" with a "rows" of
// 4000000: the case of a hostile reply. Reports the entries kept, the page
// file's size, the process's peak resident memory and how much of it the
// run added (the server in the same process holds one copy of the reply).
//
//   /usr/bin/time -v build/default/bench/bench_update_list
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <filesystem>
#include <string>

#include "BenchSettings.h"
#include "app/UpdateDlg.h"
#include "platform/posix/CurlHttpClient.h"
#include "support/Fakes.h"
#include "support/FaultServer.h"
#include "support/HeadlessWaitHost.h"
#include "support/NetTestSupport.h"

namespace {

using namespace quon;

// The process's peak resident memory so far, in KiB.
long PeakRssKiB() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

void BM_HostileUpdateList(benchmark::State& state) {
  test::ClearProxyEnvironment();
  const size_t tableBytes = static_cast<size_t>(quon::bench::DataMiB(15)) << 20;
  // The server sends the table from this one copy, so that its own share of
  // the process's memory is there before the run starts.
  const std::string tail = "&status=ACCEPTED&rows=4000000&cols=4&dbdata=" + std::string(tableBytes, ';');
  test::FaultServer server([&tail](const test::ReceivedRequest& request, test::FaultConnection& connection) {
    const std::string lead =
        "GetUpgradeListcode=" + test::RequestFields(request.body, "GetUpgradeList").Get("code");
    connection.Send(test::HttpHead(200, "Content-Length: " + std::to_string(lead.size() + tail.size()) + "\r\n") +
                    lead);
    connection.Send(tail);
  });
  test::TempDir product;
  test::FakeView view;
  test::FakePrompts prompts;
  test::FakePlatform platform;
  test::FakeWindows windows;
  CurlHttpClient http{prompts};
  HeadlessWaitHost wait;
  NetEnvironment net{http, prompts, wait};
  platform.modulePath = product.Dir() + "QuonUpdate";
  platform.versions[product.Dir() + "QUON.EXE"] = "6, 0, 3, 121";

  const long baselineKiB = PeakRssKiB();
  size_t entries = 0;
  for (auto _ : state) {
    UpdateDlg dlg(view, prompts, net, platform, windows, [] { return WindowHandle{1}; },
                  UpdateServerSettings{"127.0.0.1", server.Port(), "/update"});
    dlg.OnInitDialog();
    entries = dlg.State().m_updateList.size();
  }
  if (!prompts.Texts().empty()) state.SkipWithError(prompts.Texts().front().c_str());
  state.counters["entries"] = static_cast<double>(entries);
  state.counters["page_MiB"] =
      static_cast<double>(std::filesystem::file_size(product.Path("QuonUpdateLast.html"))) / (1 << 20);
  state.counters["peak_rss_MiB"] = static_cast<double>(PeakRssKiB()) / 1024;
  state.counters["run_peak_growth_MiB"] = static_cast<double>(PeakRssKiB() - baselineKiB) / 1024;
}
BENCHMARK(BM_HostileUpdateList)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
