// The CSV layout alone (records already parsed), written to /dev/null: bytes of CSV per second.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <random>

#include "export/csv.h"

namespace tavroacq {
namespace {

// Records shaped like the parsers' output: `channels` channels reading the same `windows`
// labels from `first`, S samples per window, samples drawn from [0, max_sample].
std::vector<EventRecord> records(std::size_t events, std::size_t channels, std::uint16_t windows, std::uint16_t first,
                                 std::uint64_t samples, int max_sample, bool fractional) {
  std::mt19937 rng(3);
  std::uniform_int_distribution<int> value(0, max_sample);
  std::vector<EventRecord> out;
  for (std::size_t e = 0; e < events; ++e) {
    EventRecord r(channels);
    for (std::size_t c = 0; c < channels; ++c) {
      for (std::uint16_t w = 0; w < windows; ++w) r.window_labels[c].push_back((first + w) % windows);
      for (std::uint64_t i = 0; i < windows * samples; ++i) {
        const float v = static_cast<float>(value(rng));
        r.data[c].push_back(fractional ? v - 0.37f * static_cast<float>(i % 7) : v);
        r.time[c].push_back(static_cast<std::uint16_t>(i));
      }
    }
    out.push_back(std::move(r));
  }
  return out;
}

void run(benchmark::State& state, const std::vector<EventRecord>& recs, const Params& params, Family family) {
  const int fd = ::open("/dev/null", O_WRONLY);
  StringSink probe;  // counts the bytes once, outside the timed loop
  (void)export_csv(recs, probe, params, family);
  const auto bytes = static_cast<std::int64_t>(probe.text.size());
  for (auto _ : state) {
    FdSink sink(fd);
    benchmark::DoNotOptimize(export_csv(recs, sink, params, family));
  }
  state.SetBytesProcessed(bytes * state.iterations());
  ::close(fd);
}

Params params_of(std::uint64_t channels, std::uint64_t windows, std::uint64_t samples) {
  Params p;
  p.channels = channels;
  p.windows = windows;
  p.samples = samples;
  return p;
}

void BM_CsvLayoutOrra96(benchmark::State& state) {
  static const auto recs = records(4, 96, 32, 3, 128, 1023, false);
  run(state, recs, params_of(96, 32, 128), Family::Orra96);
}
BENCHMARK(BM_CsvLayoutOrra96)->Unit(benchmark::kMillisecond);

void BM_CsvLayoutTelkv3(benchmark::State& state) {
  static const auto recs = records(200, 4, 16, 5, 32, 4095, false);
  run(state, recs, params_of(4, 256, 32), Family::Telkv3);
}
BENCHMARK(BM_CsvLayoutTelkv3)->Unit(benchmark::kMillisecond);

void BM_CsvLayoutCorrectedSamples(benchmark::State& state) {
  static const auto recs = records(200, 4, 16, 5, 32, 4095, true);
  run(state, recs, params_of(4, 256, 32), Family::Telkv3);
}
BENCHMARK(BM_CsvLayoutCorrectedSamples)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace tavroacq
