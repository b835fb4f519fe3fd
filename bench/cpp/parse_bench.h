// The harness of the parser benchmarks: a parse timed in processor time beside memcpy of the
// packet and of the record's bytes, measured in the same run.
#pragma once

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <utility>
#include <vector>

#include "acquisition/metadata.h"
#include "parsing/event.h"
#include "parsing/util.h"

namespace tavroacq::bench {

using Bytes = std::vector<std::uint8_t>;

inline Params make_params(const char* model, std::uint64_t channels, std::uint64_t windows, std::uint64_t samples) {
  Params p;
  p.model = model;
  p.channels = channels;
  p.windows = windows;
  p.samples = samples;
  return p;
}

// Processor time of the calling thread: the machine is shared, so wall time says little.
inline double cpu_seconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

// The best processor time of one memcpy of `size` bytes, over rounds of many copies.
inline double memcpy_seconds(std::size_t size) {
  const Bytes src(size, 0x5A);
  Bytes dst(size);
  double best = 1e9;
  for (int round = 0; round < 20; ++round) {
    const double t0 = cpu_seconds();
    for (int k = 0; k < 20; ++k) {
      std::memcpy(dst.data(), src.data(), size);
      benchmark::DoNotOptimize(dst.data());
      benchmark::ClobberMemory();
    }
    best = std::min(best, (cpu_seconds() - t0) / 20);
  }
  return best;
}

// The bytes the parsed record holds: samples, labels, time values (and timing values).
inline std::size_t record_bytes(const EventRecord& e) {
  std::size_t n = 0;
  for (const auto& v : e.data) n += v.size() * sizeof(float);
  for (const auto& v : e.window_labels) n += v.size() * sizeof(std::uint16_t);
  for (const auto& v : e.time) n += v.size() * sizeof(std::uint16_t);
  if (e.timing)
    for (const auto& v : *e.timing) n += v.size() * sizeof(std::uint32_t);
  return n;
}

// Besides bytes per second: `of_memcpy`, the parse's speed as a fraction of memcpy of the
// packet, and `of_memcpy_out`, as a fraction of memcpy of the bytes the record holds (the
// parse writes those, so this is its floor).
template <class E>
void parse_bench(benchmark::State& state, const std::pair<Bytes, Params>& event) {
  const auto& [bytes, params] = event;
  const auto probe = ParseInto<E>::parse_into(bytes, params);
  if (!probe) {
    state.SkipWithError("the benchmark packet does not parse");
    return;
  }
  const double copy_in = memcpy_seconds(bytes.size());
  const double copy_out = memcpy_seconds(record_bytes(*probe));
  const double t0 = cpu_seconds();
  for (auto _ : state) {
    auto parsed = ParseInto<E>::parse_into(bytes, params);
    benchmark::DoNotOptimize(parsed);
  }
  const double per_parse = (cpu_seconds() - t0) / static_cast<double>(state.iterations());
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
  state.counters["of_memcpy"] = copy_in / per_parse;
  state.counters["of_memcpy_out"] = copy_out / per_parse;
}

inline void memcpy_bench(benchmark::State& state, const Bytes& bytes) {
  Bytes dst(bytes.size());
  for (auto _ : state) {
    std::memcpy(dst.data(), bytes.data(), bytes.size());
    benchmark::DoNotOptimize(dst.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
}

}  // namespace tavroacq::bench
