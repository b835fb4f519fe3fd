// The whole-buffer ECC check of a full six-chip event against copying the same buffer.
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <vector>

#include "ecc/buffer_check.h"
#include "ecc/orra96.h"
#include "ecc/worker_pool.h"

namespace {

using tavroacq::ecc::_ecc_check;
constexpr std::size_t FULL = 786842;

// Random valid code words in every sample area, like a clean event.
std::vector<std::uint8_t> clean_buffer() {
  std::vector<std::uint16_t> valid;
  for (unsigned w = 0; w <= 0xFFFF; ++w) {
    if (!tavroacq::ecc::check_word(static_cast<std::uint16_t>(w))) valid.push_back(static_cast<std::uint16_t>(w));
  }
  std::mt19937 rng(1);
  std::vector<std::uint8_t> buffer(FULL);
  for (auto& b : buffer) b = static_cast<std::uint8_t>(rng());
  for (const auto [start, end] : tavroacq::ecc::CHANNEL_OFFSETS) {
    for (auto at = start; at < end; at += 2) {
      const auto w = valid[rng() % valid.size()];
      buffer[at] = static_cast<std::uint8_t>(w & 0xFF);
      buffer[at + 1] = static_cast<std::uint8_t>(w >> 8);
    }
  }
  return buffer;
}

void BM_ecc_check_clean(benchmark::State& state) {
  const auto buffer = clean_buffer();
  const auto threads = static_cast<std::size_t>(state.range(0));
  for (auto _ : state) {
    auto found = _ecc_check(buffer, threads);
    benchmark::DoNotOptimize(found);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * FULL));
  state.counters["threads"] = static_cast<double>(threads ? threads : tavroacq::ecc::pool_threads());
}
BENCHMARK(BM_ecc_check_clean)->Arg(1)->Arg(0)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_ecc_check_all_errors(benchmark::State& state) {
  const std::vector<std::uint8_t> buffer(FULL, 0x01);  // every sample word is a double error
  for (auto _ : state) {
    auto found = _ecc_check(buffer);
    benchmark::DoNotOptimize(found);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * FULL));
}
BENCHMARK(BM_ecc_check_all_errors)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_memcpy_ecc_buffer(benchmark::State& state) {
  const auto buffer = clean_buffer();
  std::vector<std::uint8_t> copy(FULL);
  for (auto _ : state) {
    std::memcpy(copy.data(), buffer.data(), FULL);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * FULL));
}
BENCHMARK(BM_memcpy_ecc_buffer)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace
