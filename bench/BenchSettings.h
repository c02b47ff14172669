// Size, rounds and work folder of a benchmark, from the environment, so that
// the test suite's smoke run (bench/smoke.sh) can make each one small and
// short; unset, a benchmark measures at its full size:
//   QUON_BENCH_MIB     the size of its data in MiB
//   QUON_BENCH_ROUNDS  its iterations (or repetitions)
//   QUON_BENCH_DIR     where it writes its files
#pragma once

#include <cstdlib>
#include <filesystem>

namespace quon::bench {

// The variable's value when it is a positive number, else `fallback`.
inline long Setting(const char* name, long fallback) {
  const char* text = std::getenv(name);
  const long value = text ? std::atol(text) : 0;
  return value > 0 ? value : fallback;
}

inline long DataMiB(long fallback) { return Setting("QUON_BENCH_MIB", fallback); }

inline long Rounds(long fallback) { return Setting("QUON_BENCH_ROUNDS", fallback); }

inline std::filesystem::path WorkDir(const std::filesystem::path& fallback) {
  const char* dir = std::getenv("QUON_BENCH_DIR");
  return dir && *dir ? std::filesystem::path(dir) : fallback;
}

}  // namespace quon::bench
