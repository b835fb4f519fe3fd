// Loading a full-size pedestal table and correcting a full-size event with it: the largest event
// a board sends (96 channels × 64 windows × 64 samples) against a table of the same extent.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <bit>
#include <cstring>
#include <stdexcept>

#include "calibration.h"

namespace {

using tavroacq::Corrections;
using tavroacq::EventRecord;
using tavroacq::Params;
using tavroacq::Pedestals;

constexpr int CHANNELS = 96, WINDOWS = 64, SAMPLES = 64;

// {"data": table} the way Python's pickler writes it at protocol 4: every list memoized, items
// appended in one batch, floats as 8-byte big-endian doubles.
std::vector<std::uint8_t> table_pickle() {
  std::string s = "\x80\x04}\x94\x8c\x04" "data\x94]\x94(";
  for (int c = 0; c < CHANNELS; ++c) {
    s += "]\x94(";
    for (int w = 0; w < WINDOWS; ++w) {
      s += "]\x94(";
      for (int k = 0; k < SAMPLES; ++k) {
        const auto bits = std::bit_cast<std::uint64_t>(480.0 + ((c * 7 + w * 13 + k) % 97) * 0.37);
        s += 'G';
        for (int b = 7; b >= 0; --b) s += static_cast<char>(bits >> (8 * b));
      }
      s += 'e';
    }
    s += 'e';
  }
  s += "es.";
  return {s.begin(), s.end()};
}

std::vector<std::uint8_t> gzip(const std::vector<std::uint8_t>& data) {
  z_stream zs{};
  if (deflateInit2(&zs, 6, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK) throw std::runtime_error("zlib");
  std::vector<std::uint8_t> out(deflateBound(&zs, static_cast<uLong>(data.size())));
  zs.next_in = const_cast<Bytef*>(data.data());
  zs.avail_in = static_cast<uInt>(data.size());
  zs.next_out = out.data();
  zs.avail_out = static_cast<uInt>(out.size());
  if (deflate(&zs, Z_FINISH) != Z_STREAM_END) throw std::runtime_error("zlib");
  out.resize(zs.total_out);
  deflateEnd(&zs);
  return out;
}

Params params() {
  Params p;
  p.model = "orra96";
  p.channels = CHANNELS;
  p.windows = WINDOWS;
  p.samples = SAMPLES;
  return p;
}

void BM_PedestalsFromBytes(benchmark::State& state) {
  const auto raw = table_pickle();
  const auto blob = gzip(raw);
  for (auto _ : state) {
    auto table = Pedestals::from_bytes(blob);
    if (!table) state.SkipWithError("table did not load");
    benchmark::DoNotOptimize(table);
  }
  state.SetItemsProcessed(state.iterations() * CHANNELS * WINDOWS * SAMPLES);
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(raw.size()));
}
BENCHMARK(BM_PedestalsFromBytes)->Unit(benchmark::kMillisecond);

void BM_CorrectFullEvent(benchmark::State& state) {
  const Corrections corrections = Corrections(params()).pedestals(*Pedestals::from_bytes(gzip(table_pickle())));
  EventRecord event(CHANNELS);
  for (int c = 0; c < CHANNELS; ++c) {
    for (int w = 0; w < WINDOWS; ++w) event.window_labels[c].push_back(static_cast<std::uint16_t>((w + 5) % WINDOWS));
    event.data[c].assign(WINDOWS * SAMPLES, 1000.0f);
  }
  for (auto _ : state) {
    EventRecord copy = event;
    if (!corrections.apply(copy)) state.SkipWithError("event did not fit");
    benchmark::DoNotOptimize(copy);
  }
  state.SetItemsProcessed(state.iterations() * CHANNELS * WINDOWS * SAMPLES);
}
BENCHMARK(BM_CorrectFullEvent)->Unit(benchmark::kMicrosecond);

}  // namespace
