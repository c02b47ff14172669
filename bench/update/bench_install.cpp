// What making an installation durable costs: the same installation of an
// update, of 1,000 small files or of one large file, with every flush the
// installer makes (Flushed) and with its flushes turned into no-ops
// (Unflushed), and the rollback of the 1,000 files' installation
// (SmallFilesRollback: the backup's copies put back, the backup removed).
// Each round starts from a disk with nothing dirty on it.
//   bench_install [--benchmark_repetitions=N]
// QUON_BENCH_MIB sets the large file's size (default 256), QUON_BENCH_DIR
// where the product lies (default: the system's temporary directory, which
// must be on the disk to be measured).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "BenchSettings.h"
#include "base/FileSystem.h"
#include "base/UserPrompts.h"
#include "update/Installer.h"
#include "update/Rollback.h"
#include "update/UpdateListFile.h"

namespace {

namespace fs = std::filesystem;

struct SilentPrompts : quon::UserPrompts {
  int MessageBox(std::string_view, quon::MsgButtons, quon::MsgIcon) override { return quon::kIdOk; }
  bool PromptProxyCredentials(std::string_view, std::string&, std::string&) override { return false; }
};

// The installer with its flushes made no-ops: what it costs without them.
struct UnflushedFileSystem : quon::FileSystemWrapper {
  UnflushedFileSystem() : FileSystemWrapper(quon::SystemFileSystem()) {}
  quon::FsError Flush(quon::FsFile&) override { return quon::FsError::None; }
  quon::FsError FlushDir(quon::FsDir&) override { return quon::FsError::None; }
};

void WriteBytes(const fs::path& path, size_t size, char fill) {
  fs::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  const std::string block(1 << 20, fill);
  for (size_t left = size; left > 0;) {
    const size_t n = std::min(left, block.size());
    out.write(block.data(), static_cast<std::streamsize>(n));
    left -= n;
  }
}

// A product and its unpacked update: `files` files of `size` bytes each,
// spread over ten folders.
class Update {
 public:
  Update(const std::string& name, int files, size_t size)
      : m_root(quon::bench::WorkDir(fs::temp_directory_path()) / ("quon-bench-install-" + name)) {
    fs::remove_all(m_root);
    std::string list = "[MAIN]\n";
    for (int i = 0; i < files; ++i) {
      const std::string file = "file" + std::to_string(i) + ".dat";
      const std::string entry = "dir" + std::to_string(i % 10) + "\\" + file;
      list += entry + "\n";
      WriteBytes(m_root / "product" / ("dir" + std::to_string(i % 10)) / file, size, 'o');
      WriteBytes(m_root / "unpack" / file, size, 'n');
    }
    m_list.ParseText(list);
  }
  ~Update() {
    std::error_code ec;
    fs::remove_all(m_root, ec);
  }

  bool RollBack(quon::FileSystem& files) {
    std::unique_ptr<quon::FsDir> product;
    return files.OpenRoot((m_root / "product").string(), product) == quon::FsError::None &&
           quon::RollBackLastInstallation(files, *product).outcome == quon::RollbackOutcome::Done;
  }

  bool Install(quon::FileSystem& files) {
    std::vector<std::string> failed;
    return m_list.InstallFiles(files, {}, (m_root / "product").string(), (m_root / "unpack").string(), failed,
                               m_prompts);
  }

 private:
  fs::path m_root;
  quon::UpdateListFile m_list;
  SilentPrompts m_prompts;
};

void Run(benchmark::State& state, Update& update, bool flushed) {
  UnflushedFileSystem unflushed;
  quon::FileSystem& files = flushed ? quon::SystemFileSystem() : unflushed;
  for (auto _ : state) {
    state.PauseTiming();
    ::sync();  // nothing dirty left from setting up or from the last round
    state.ResumeTiming();
    if (!update.Install(files)) state.SkipWithError("the installation failed");
  }
}

void BM_SmallFiles(benchmark::State& state) {
  static Update update("small", 1000, 4096);
  Run(state, update, state.range(0) != 0);
  state.SetLabel(state.range(0) ? "Flushed" : "Unflushed");
  state.counters["files"] = 1000;
}

// The installation is made (untimed) before each timed rollback.
void BM_SmallFilesRollback(benchmark::State& state) {
  static Update update("rollback", 1000, 4096);
  UnflushedFileSystem unflushed;
  quon::FileSystem& files = state.range(0) ? quon::SystemFileSystem() : unflushed;
  for (auto _ : state) {
    state.PauseTiming();
    if (!update.Install(quon::SystemFileSystem())) state.SkipWithError("the installation failed");
    ::sync();
    state.ResumeTiming();
    if (!update.RollBack(files)) state.SkipWithError("the rollback failed");
  }
  state.SetLabel(state.range(0) ? "Flushed" : "Unflushed");
  state.counters["files"] = 1000;
}

void BM_LargeFile(benchmark::State& state) {
  static Update update("large", 1, static_cast<size_t>(quon::bench::DataMiB(256)) << 20);
  Run(state, update, state.range(0) != 0);
  state.SetLabel(state.range(0) ? "Flushed" : "Unflushed");
  state.SetBytesProcessed(state.iterations() * (quon::bench::DataMiB(256) << 20));
}

}  // namespace

BENCHMARK(BM_SmallFiles)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(quon::bench::Rounds(10));
BENCHMARK(BM_SmallFilesRollback)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(quon::bench::Rounds(10));
BENCHMARK(BM_LargeFile)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(quon::bench::Rounds(5));
BENCHMARK_MAIN();
