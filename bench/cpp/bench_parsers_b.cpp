// Parsing speed of the brisav1, skiv16, orra96 and dunlinv1 parsers on realistic packets, in
// packet bytes per second, beside memcpy of the same bytes; the parser rows carry their speed
// as a fraction of memcpy's, measured in the same run.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <utility>
#include <vector>

#include "parse_bench.h"
#include "parsing/brisav1.h"
#include "parsing/dunlinv1.h"
#include "parsing/orra96.h"
#include "parsing/skiv16.h"

namespace tavroacq {
namespace {

using namespace bench;

void put_le(Bytes& out, std::uint16_t w) {
  out.push_back(static_cast<std::uint8_t>(w));
  out.push_back(static_cast<std::uint8_t>(w >> 8));
}
void put_be(Bytes& out, std::uint16_t w) {
  out.push_back(static_cast<std::uint8_t>(w >> 8));
  out.push_back(static_cast<std::uint8_t>(w));
}

// Pseudo-random sample words, the same on every run.
struct Noise {
  std::uint32_t state = 12345;
  std::uint16_t next() {
    state = state * 1664525u + 1013904223u;
    return static_cast<std::uint16_t>(state >> 16);
  }
};

// orra96: six chips of sixteen channels, 64 windows of 64 samples: 786842 bytes.
std::pair<Bytes, Params> orra96_event() {
  Bytes out;
  Noise noise;
  for (std::uint8_t chip = 0; chip < 6; ++chip) {
    out.push_back(chip);
    for (std::uint16_t ch = 0; ch < 16; ++ch) {
      put_le(out, static_cast<std::uint16_t>(ch << 8 | (ch * 3) % 64));
      for (int i = 0; i < 4096; ++i) put_le(out, noise.next());
      put_le(out, 0);
    }
    out.insert(out.end(), 3, 0);
  }
  out.insert(out.end(), 2, 0);
  return {out, make_params("orra96", 96, 64, 64)};
}

// skiv16: sixteen channels of 128 windows of 32 samples: 131139 bytes.
std::pair<Bytes, Params> skiv16_event() {
  Bytes out{0};
  Noise noise;
  for (std::uint16_t ch = 0; ch < 16; ++ch) {
    put_le(out, static_cast<std::uint16_t>(ch << 8 | (ch * 5) % 128));
    for (int i = 0; i < 4096; ++i) put_le(out, noise.next());
    put_le(out, 0);
  }
  out.insert(out.end(), 2, 0);
  return {out, make_params("skiv16", 16, 128, 32)};
}

// brisav1: sixteen channels of 64 windows of 32 samples, one 37-word sub-packet per window:
// 75776 bytes.
std::pair<Bytes, Params> brisav1_event() {
  Bytes out;
  Noise noise;
  for (std::uint16_t w = 0; w < 64; ++w)
    for (std::uint16_t ch = 0; ch < 16; ++ch) {
      put_be(out, ch);
      put_be(out, 0);
      put_be(out, static_cast<std::uint16_t>(w + ch));
      put_be(out, w);
      for (int i = 0; i < 32; ++i) put_be(out, static_cast<std::uint16_t>((noise.next() & 0x0FFF) | 1));
      put_be(out, 0xFA5A);
    }
  return {out, make_params("brisav2_eval", 16, 64, 32)};
}

// dunlinv1: 32 channels (eight groups of four) of 64 windows of 32 samples, one frame per group
// and window: 148484 bytes.
std::pair<Bytes, Params> dunlinv1_event() {
  Bytes out;
  Noise noise;
  for (std::uint16_t w = 0; w < 64; ++w)
    for (std::uint16_t g = 0; g < 8; ++g) {
      put_be(out, g);
      for (int i = 1; i < 7; ++i) put_be(out, 0);
      for (std::uint16_t ch = 0; ch < 4; ++ch) {
        put_be(out, w);
        put_be(out, ch);
        for (int i = 0; i < 32; ++i) put_be(out, noise.next());
      }
      put_be(out, 0);
      put_be(out, 0);
    }
  put_be(out, 0);
  put_be(out, 0);
  return {out, make_params("dunlin", 32, 64, 32)};
}

const auto ORRA96 = orra96_event();
const auto SKIV16 = skiv16_event();
const auto BRISAV1 = brisav1_event();
const auto DUNLINV1 = dunlinv1_event();

void BM_orra96(benchmark::State& state) { parse_bench<Orra96Event>(state, ORRA96); }
void BM_memcpy_orra96(benchmark::State& state) { memcpy_bench(state, ORRA96.first); }
void BM_skiv16(benchmark::State& state) { parse_bench<Skiv16Event>(state, SKIV16); }
void BM_memcpy_skiv16(benchmark::State& state) { memcpy_bench(state, SKIV16.first); }
void BM_brisav1(benchmark::State& state) { parse_bench<Brisav1Event>(state, BRISAV1); }
void BM_memcpy_brisav1(benchmark::State& state) { memcpy_bench(state, BRISAV1.first); }
void BM_dunlinv1(benchmark::State& state) { parse_bench<Dunlinv1Event>(state, DUNLINV1); }
void BM_memcpy_dunlinv1(benchmark::State& state) { memcpy_bench(state, DUNLINV1.first); }

BENCHMARK(BM_orra96);
BENCHMARK(BM_memcpy_orra96);
BENCHMARK(BM_skiv16);
BENCHMARK(BM_memcpy_skiv16);
BENCHMARK(BM_brisav1);
BENCHMARK(BM_memcpy_brisav1);
BENCHMARK(BM_dunlinv1);
BENCHMARK(BM_memcpy_dunlinv1);

}  // namespace
}  // namespace tavroacq
