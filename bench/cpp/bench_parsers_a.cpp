// Throughput of the telkv3, vexv2, telkv3s, morvanev3 and vexoc parsers on realistic packets
// (about 8 KiB each), next to a plain copy of the same number of bytes.
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <vector>

#include "parsing/morvanev3.h"
#include "parsing/telkv3.h"
#include "parsing/telkv3s.h"
#include "parsing/vexoc.h"
#include "parsing/vexv2.h"

namespace tavroacq {
namespace {

using Bytes = std::vector<std::uint8_t>;

struct Writer {
  Bytes bytes;
  std::mt19937 rng{7};
  void word(std::uint16_t w) {
    bytes.push_back(static_cast<std::uint8_t>(w >> 8));
    bytes.push_back(static_cast<std::uint8_t>(w & 0xFF));
  }
  void samples(std::size_t n, std::uint16_t max) {
    for (std::size_t i = 0; i < n; ++i) word(static_cast<std::uint16_t>(rng() % (max + 1u)));
  }
};

Params params(const char* model, std::uint64_t channels, std::uint64_t windows, std::uint64_t samples) {
  Params p;
  p.model = model;
  p.channels = channels;
  p.windows = windows;
  p.samples = samples;
  return p;
}

constexpr std::uint64_t CHANNELS = 4;  // the default channel fields hold two bits
constexpr std::uint64_t SAMPLES = 64;
constexpr std::uint64_t WINDOWS_READ = 16;

// 4 channels × 16 windows of 64 samples, interleaved round-robin; labels run on from 200.
Bytes telkv3_packet() {
  Writer w;
  for (int i = 0; i < 3; ++i) w.word(0xE000);
  for (std::uint64_t f = 0; f < CHANNELS * WINDOWS_READ; ++f) {
    const std::uint64_t label = (200 + f / CHANNELS) % 256;
    w.word(static_cast<std::uint16_t>(((f % CHANNELS) << 9) | (label << 1)));
    w.samples(SAMPLES, 0x1FFF);
  }
  w.word(0xF000);
  return w.bytes;
}

// 16 windows of one block per channel (channel field `chan_bit`, label field shifted by
// `label_shift`), each window followed by `pad` words.
Bytes window_major_packet(unsigned chan_bit, unsigned label_shift, unsigned pad, unsigned footers) {
  Writer w;
  for (int i = 0; i < 3; ++i) w.word(0xE000);
  for (std::uint64_t u = 0; u < WINDOWS_READ; ++u) {
    for (std::uint64_t c = 0; c < CHANNELS; ++c) {
      w.word(static_cast<std::uint16_t>((c << chan_bit) | (((100 + u) % 256) << label_shift)));
      w.samples(SAMPLES, 0x1FFF);
    }
    for (unsigned i = 0; i < pad; ++i) w.word(0);
  }
  for (unsigned i = 0; i < footers; ++i) w.word(0xF000);
  return w.bytes;
}

// Two chips of 4 channels × 8 windows of 64 samples.
Bytes vexoc_packet() {
  Writer w;
  for (unsigned chip = 0; chip < 2; ++chip) {
    w.word(static_cast<std::uint16_t>(chip << 12));
    w.word(0);
    w.word(0);
    for (unsigned k = 0; k < 8; ++k)
      for (unsigned c = 0; c < 4; ++c) {
        w.word(static_cast<std::uint16_t>((c << 8) | (k + 40)));
        w.samples(SAMPLES, 0x0FFF);
      }
    w.word(0xFFFF);
  }
  return w.bytes;
}

template <class E>
void run_parser(benchmark::State& state, const Bytes& packet, const Params& p) {
  if (!ParseInto<E>::parse_into(packet, p)) {
    state.SkipWithError("the benchmark packet does not parse");
    return;
  }
  for (auto _ : state) {
    auto r = ParseInto<E>::parse_into(packet, p);
    benchmark::DoNotOptimize(r);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * packet.size()));
}

void BM_memcpy(benchmark::State& state) {
  const Bytes src = telkv3_packet();
  Bytes dst(src.size());
  for (auto _ : state) {
    std::memcpy(dst.data(), src.data(), src.size());
    benchmark::DoNotOptimize(dst.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * src.size()));
}

void BM_parse_telkv3(benchmark::State& state) {
  run_parser<Telkv3Event>(state, telkv3_packet(), params("telkv3", CHANNELS, 256, SAMPLES));
}
void BM_parse_vexv2(benchmark::State& state) {
  run_parser<Vexv2Event>(state, telkv3_packet(), params("vexv2", CHANNELS, 256, SAMPLES));
}
void BM_parse_telkv3s(benchmark::State& state) {
  run_parser<Telkv3SEvent>(state, window_major_packet(8, 0, 0, 1), params("telkv3s", CHANNELS, 256, SAMPLES));
}
void BM_parse_morvanev3(benchmark::State& state) {
  run_parser<Morvanev3Event>(state, window_major_packet(10, 1, 1, 1), params("morvanev3", CHANNELS, 512, SAMPLES));
}
void BM_parse_vexoc(benchmark::State& state) {
  run_parser<VexocEvent>(state, vexoc_packet(), params("vexoc_vex", 8, 256, SAMPLES));
}

BENCHMARK(BM_memcpy);
BENCHMARK(BM_parse_telkv3);
BENCHMARK(BM_parse_vexv2);
BENCHMARK(BM_parse_telkv3s);
BENCHMARK(BM_parse_morvanev3);
BENCHMARK(BM_parse_vexoc);

}  // namespace
}  // namespace tavroacq
