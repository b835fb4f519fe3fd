// Loads arbitrary bytes as a pedestals blob (gzip member holding a pickle), then corrects a record
// shaped from the loaded table. Corrupt members, gzip bombs, truncations and malformed pickles
// must all fail cleanly within the loader's limits.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>

#include "calibration/pedestals.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tavroacq;
  auto loaded = Pedestals::from_bytes(std::span<const std::uint8_t>(data, size));
  if (!loaded) return 0;
  const auto& table = loaded->data;
  // One record per table: every channel reads each of its window labels once, with as many samples
  // per window as the first window holds, so the subtraction walks the whole (possibly ragged) table.
  Params params;
  params.channels = table.size();
  params.samples = table.empty() || table[0].empty() ? 1 : std::max<std::size_t>(table[0][0].size(), 1);
  std::size_t total = 0;
  for (const auto& ch : table) total += ch.size() * params.samples;
  if (total > (std::size_t{1} << 20)) return 0;
  EventRecord record(table.size());
  for (std::size_t c = 0; c < table.size(); ++c) {
    for (std::size_t w = 0; w < table[c].size() && w <= 0xFFFF; ++w)
      record.window_labels[c].push_back(static_cast<std::uint16_t>(w));
    record.data[c].assign(record.window_labels[c].size() * params.samples, 1.0f);
  }
  (void)correct(*loaded, record, params);
  return 0;
}
