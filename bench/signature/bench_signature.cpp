// Verifying a signed 256 MiB cabinet: VerifyArchiveSignature beside
// osslsigncode verify on the same archive. The archive (stored, made by
// gcab -n, signed by osslsigncode with a certificate made by openssl) is
// made once by the first run and kept in the build tree. QUON_BENCH_MIB,
// QUON_BENCH_ROUNDS and QUON_BENCH_DIR change the size, the iterations (5)
// and the folder (BenchSettings.h).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include "BenchSettings.h"
#include "update/ArchiveSignature.h"

namespace fs = std::filesystem;

namespace {

const fs::path kWork = quon::bench::WorkDir(SIGBENCH_WORK_DIR);
const std::size_t kDataBytes = static_cast<std::size_t>(quon::bench::DataMiB(256)) << 20;

void WriteData(const fs::path& p) {
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  std::vector<std::uint32_t> buf(1 << 18);
  std::uint32_t x = 2463534242u;
  for (std::size_t done = 0; done < kDataBytes; done += buf.size() * 4) {
    for (auto& v : buf) {
      x ^= x << 13;
      x ^= x >> 17;
      x ^= x << 5;
      v = x;
    }
    out.write(reinterpret_cast<const char*>(buf.data()), static_cast<std::streamsize>(buf.size() * 4));
  }
  if (!out) throw std::runtime_error("cannot write " + p.string());
}

int Run(const std::string& cmd) { return std::system(cmd.c_str()); }

const fs::path& Archive() {
  static const fs::path archive = [] {
    const fs::path cab = kWork / ("signed" + std::to_string(kDataBytes >> 20) + ".cab");
    if (!fs::exists(cab)) {
      fs::create_directories(kWork);
      WriteData(kWork / "data.bin");
      const std::string w = "'" + kWork.string() + "'";
      const std::string cmd =
          "cd " + w +
          " && gcab -c -n unsigned.cab data.bin && "
          "openssl req -x509 -newkey rsa:2048 -nodes -days 3650 -subj '/CN=Bench Vendor' "
          "-keyout key.pem -out cert.pem 2>/dev/null && openssl x509 -in cert.pem -outform DER -out cert.der && "
          "osslsigncode sign -certs cert.pem -key key.pem -h sha256 -in unsigned.cab -out signed.part > /dev/null && "
          "rm -f unsigned.cab data.bin";
      if (Run(cmd) != 0) throw std::runtime_error("making the signed archive failed");
      fs::rename(kWork / "signed.part", cab);
    }
    return cab;
  }();
  return archive;
}

std::string ReadFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void BM_VerifyArchiveSignature(benchmark::State& state) {
  const std::string cab = Archive().string();
  const quon::SignerIdentity signer{{ReadFile(kWork / "cert.der")}, {}};
  for (auto _ : state) {
    const quon::SignatureVerdict v = quon::VerifyArchiveSignature(cab, signer);
    if (!v.ok) state.SkipWithError(v.reason.c_str());
  }
}
BENCHMARK(BM_VerifyArchiveSignature)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(quon::bench::Rounds(5));

void BM_OsslsigncodeVerify(benchmark::State& state) {
  const std::string cmd = "osslsigncode verify -CAfile '" + (kWork / "cert.pem").string() + "' -in '" +
                          Archive().string() + "' > /dev/null 2>&1";
  for (auto _ : state) {
    if (Run(cmd) != 0) state.SkipWithError("osslsigncode verify failed");
  }
}
BENCHMARK(BM_OsslsigncodeVerify)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(quon::bench::Rounds(5));

}  // namespace

BENCHMARK_MAIN();
