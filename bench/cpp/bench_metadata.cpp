// Cost of deserializing metadata.yml: a typical document next to hostile ones (an alias bomb,
// 10 MB of nested brackets, 600 levels of block nesting), which must fail about as fast.
#include <benchmark/benchmark.h>

#include <string>

#include "acquisition/metadata.h"

namespace {

std::string typical() {
  std::string t = "params:\n  model: telkv3\n  channels: 16\n  windows: 512\n  samples: 32\n  databitmask: 0x1FFF\n"
                  "  chanshift: 12\n  headers: 4\n  footers: 1\nregisters:\n";
  for (int r = 0; r < 200; ++r) {
    t += "  reg";
    t += std::to_string(r);
    t += ": ";
    t += std::to_string(r * 37);
    t += "\n";
  }
  return t;
}

std::string alias_bomb() {
  std::string t = "a0: &a0 [x, x, x, x, x, x, x, x, x, x]\n";
  for (int level = 1; level <= 9; ++level) {
    const std::string n = std::to_string(level);
    t += "a";
    t += n;
    t += ": &a";
    t += n;
    t += " [";
    for (int k = 0; k < 10; ++k) {
      t += k ? ", *a" : "*a";
      t += std::to_string(level - 1);
    }
    t += "]\n";
  }
  t += "params: {model: m, channels: 1, windows: 1, samples: 1, bomb: *a9}\nregisters:\n";
  return t;
}

std::string block_nesting() {
  std::string t = "params:\n  k:\n";
  for (int d = 0; d < 600; ++d) {
    t.append(4 + d, ' ');
    t += "-\n";
  }
  return t;
}

void run(benchmark::State& state, const std::string& text, bool expect_ok) {
  for (auto _ : state) {
    auto m = tavroacq::deserialize_metadata(text);
    if (m.has_value() != expect_ok) state.SkipWithError("unexpected outcome");
    benchmark::DoNotOptimize(m);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}

void BM_MetadataTypical(benchmark::State& state) { run(state, typical(), true); }
void BM_MetadataAliasBomb(benchmark::State& state) { run(state, alias_bomb(), false); }
void BM_MetadataNestedBrackets10MB(benchmark::State& state) { run(state, std::string(10u << 20, '['), false); }
void BM_MetadataBlockNesting(benchmark::State& state) { run(state, block_nesting(), false); }

BENCHMARK(BM_MetadataTypical);
BENCHMARK(BM_MetadataAliasBomb);
BENCHMARK(BM_MetadataNestedBrackets10MB)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MetadataBlockNesting);

}  // namespace
