// Throughput of the telkv3, vexv2, telkv3s, morvanev3 and vexoc parsers on realistic packets
// (about 8 KiB each), as fractions of memcpy measured in the same run.
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <vector>

#include "parse_bench.h"
#include "parsing/morvanev3.h"
#include "parsing/telkv3.h"
#include "parsing/telkv3s.h"
#include "parsing/vexoc.h"
#include "parsing/vexv2.h"

namespace tavroacq {
namespace {

using namespace bench;

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

void BM_parse_telkv3(benchmark::State& state) {
  parse_bench<Telkv3Event>(state, {telkv3_packet(), make_params("telkv3", CHANNELS, 256, SAMPLES)});
}
void BM_parse_vexv2(benchmark::State& state) {
  parse_bench<Vexv2Event>(state, {telkv3_packet(), make_params("vexv2", CHANNELS, 256, SAMPLES)});
}
void BM_parse_telkv3s(benchmark::State& state) {
  parse_bench<Telkv3SEvent>(state, {window_major_packet(8, 0, 0, 1), make_params("telkv3s", CHANNELS, 256, SAMPLES)});
}
void BM_parse_morvanev3(benchmark::State& state) {
  parse_bench<Morvanev3Event>(state, {window_major_packet(10, 1, 1, 1), make_params("morvanev3", CHANNELS, 512, SAMPLES)});
}
void BM_parse_vexoc(benchmark::State& state) {
  parse_bench<VexocEvent>(state, {vexoc_packet(), make_params("vexoc_vex", 8, 256, SAMPLES)});
}

BENCHMARK(BM_parse_telkv3);
BENCHMARK(BM_parse_vexv2);
BENCHMARK(BM_parse_telkv3s);
BENCHMARK(BM_parse_morvanev3);
BENCHMARK(BM_parse_vexoc);

}  // namespace
}  // namespace tavroacq
