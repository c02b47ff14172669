// Unpacking a 256 MiB MSZIP cabinet: do_decab beside cabextract on the same
// archive. The archive (and its source data) is made once by the first run,
// with gcab -z from semi-compressible data, and kept in the build tree.
// QUON_BENCH_MIB, QUON_BENCH_ROUNDS and QUON_BENCH_DIR change the size, the
// iterations (5) and the folder (BenchSettings.h).
#include <benchmark/benchmark.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "BenchSettings.h"
#include "cablib.h"

namespace fs = std::filesystem;

namespace {

const fs::path kWork = quon::bench::WorkDir(CABBENCH_WORK_DIR);
const std::size_t kDataBytes = static_cast<std::size_t>(quon::bench::DataMiB(256)) << 20;

// Text words mixed with random bytes: compresses to about a fifth.
void WriteData(const fs::path& p) {
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  std::vector<char> buf(1 << 20);
  std::uint32_t x = 12345;
  static const char* const kWords[] = {"pressure ", "gauge ", "valve ", "turbine ",
                                       "ridge ",    "survey\n", "bridge ", "tunnel "};
  for (std::size_t done = 0; done < kDataBytes; done += buf.size()) {
    std::size_t i = 0;
    while (i < buf.size()) {
      x ^= x << 13;
      x ^= x >> 17;
      x ^= x << 5;
      if ((x & 3) == 0) {
        buf[i++] = static_cast<char>(x >> 8);
        continue;
      }
      for (const char* w = kWords[(x >> 4) & 7]; *w && i < buf.size();) buf[i++] = *w++;
    }
    out.write(buf.data(), static_cast<std::streamsize>(buf.size()));
  }
  if (!out) throw std::runtime_error("cannot write " + p.string());
}

int Run(const std::string& cmd) { return std::system(cmd.c_str()); }

const fs::path& Archive() {
  static const fs::path archive = [] {
    const fs::path cab = kWork / ("bench" + std::to_string(kDataBytes >> 20) + ".cab");
    if (!fs::exists(cab)) {
      fs::create_directories(kWork);
      const fs::path data = kWork / "data.bin";
      WriteData(data);
      const fs::path tmp = kWork / "bench256.cab.part";
      if (Run("cd '" + kWork.string() + "' && gcab -c -n -z '" + tmp.string() + "' data.bin") != 0) {
        throw std::runtime_error("gcab failed");
      }
      fs::rename(tmp, cab);
    }
    return cab;
  }();
  return archive;
}

// An empty output directory, with the previous round's dirty pages written
// back first, so that no round pays for another's write-back.
fs::path FreshOut() {
  const fs::path out = kWork / "out";
  fs::remove_all(out);
  fs::create_directories(out);
  ::sync();
  return out;
}

void CheckUnpacked(benchmark::State& state, const fs::path& out) {
  std::error_code ec;
  if (fs::file_size(out / "data.bin", ec) != kDataBytes) state.SkipWithError("unpacked size differs");
}

void BM_DoDecab(benchmark::State& state) {
  const std::string cab = Archive().string();
  for (auto _ : state) {
    state.PauseTiming();
    const fs::path out = FreshOut();
    state.ResumeTiming();
    if (!do_decab(cab.c_str(), out.string().c_str())) state.SkipWithError("do_decab failed");
    state.PauseTiming();
    CheckUnpacked(state, out);
    state.ResumeTiming();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kDataBytes));
}

void BM_Cabextract(benchmark::State& state) {
  const std::string cab = Archive().string();
  for (auto _ : state) {
    state.PauseTiming();
    const fs::path out = FreshOut();
    const std::string cmd = "cabextract -q -d '" + out.string() + "' '" + cab + "'";
    state.ResumeTiming();
    if (Run(cmd) != 0) state.SkipWithError("cabextract failed");
    state.PauseTiming();
    CheckUnpacked(state, out);
    state.ResumeTiming();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kDataBytes));
}

BENCHMARK(BM_DoDecab)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(quon::bench::Rounds(5));
BENCHMARK(BM_Cabextract)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(quon::bench::Rounds(5));

}  // namespace

BENCHMARK_MAIN();
