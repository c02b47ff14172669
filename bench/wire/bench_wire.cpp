// Throughput of the codec and field operations on 1 KiB, 64 KiB and 1 MiB.
// Bytes per second are counted on the operation's input.
#include <benchmark/benchmark.h>

#include <random>
#include <string>

#include "net/FieldMap.h"
#include "net/PayloadCodec.h"

namespace {

std::string RandomBytes(size_t n, bool printable) {
  std::mt19937 rng(1);
  std::string s(n, '\0');
  const char alphabet[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789.,; ";
  for (char& c : s) c = printable ? alphabet[rng() % (sizeof alphabet - 1)] : static_cast<char>(rng());
  return s;
}

void BM_PercentEncode(benchmark::State& state) {
  const std::string in = RandomBytes(state.range(0), false);
  for (auto _ : state) benchmark::DoNotOptimize(quon::PercentEncode(in));
  state.SetBytesProcessed(state.iterations() * in.size());
}

void BM_PercentDecode(benchmark::State& state) {
  const std::string in = quon::PercentEncode(RandomBytes(state.range(0), false)).substr(0, state.range(0));
  for (auto _ : state) benchmark::DoNotOptimize(quon::PercentDecode(in));
  state.SetBytesProcessed(state.iterations() * in.size());
}

// Scrambling is measured on its escaped input, the text it scrambles.
void BM_ScrambleText(benchmark::State& state) {
  const std::string escaped = quon::PercentEncode(RandomBytes(state.range(0), true)).substr(0, state.range(0));
  const std::string in = quon::PercentDecode(escaped);
  quon::CrtSeed(1);
  for (auto _ : state) benchmark::DoNotOptimize(quon::ScrambleText(in));
  state.SetBytesProcessed(state.iterations() * escaped.size());
}

void BM_UnscrambleText(benchmark::State& state) {
  quon::CrtSeed(1);
  std::string in = quon::ScrambleText(RandomBytes(state.range(0), true));
  in.resize(state.range(0));
  for (auto _ : state) benchmark::DoNotOptimize(quon::UnscrambleText(in));
  state.SetBytesProcessed(state.iterations() * in.size());
}

quon::FieldMap Fields(size_t totalBytes) {
  quon::FieldMap map;
  const std::string value = RandomBytes(totalBytes / 16, true);
  for (int i = 0; i < 16; ++i) map.Set("field" + std::to_string(i), value);
  return map;
}

void BM_EncodeFields(benchmark::State& state) {
  const quon::FieldMap map = Fields(state.range(0));
  quon::CrtSeed(1);
  for (auto _ : state) benchmark::DoNotOptimize(quon::EncodeFields(map, false));
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

void BM_DecodeFields(benchmark::State& state) {
  const std::string text = quon::EncodeFields(Fields(state.range(0)), false);
  quon::FieldMap out;
  for (auto _ : state) quon::DecodeFields(text, out, false);
  state.SetBytesProcessed(state.iterations() * text.size());
}

#define SIZES ->Arg(1 << 10)->Arg(64 << 10)->Arg(1 << 20)
BENCHMARK(BM_PercentEncode) SIZES;
BENCHMARK(BM_PercentDecode) SIZES;
BENCHMARK(BM_ScrambleText) SIZES;
BENCHMARK(BM_UnscrambleText) SIZES;
BENCHMARK(BM_EncodeFields) SIZES;
BENCHMARK(BM_DecodeFields) SIZES;

}  // namespace

BENCHMARK_MAIN();
