// Writes one CSV file's layout for records drawn from the input, including shapes no parser makes:
// data, labels, time and timing of unrelated lengths, missing channels, empty channels, any label
// values, NaN and infinite samples, timing present or not. The output is counted, not kept: it
// must have one line for the header and |M| · S per record.
#include <fcntl.h>
#include <fuzzer/FuzzedDataProvider.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <vector>

#include "export/csv.h"

namespace {

using namespace tavroacq;

class CountingSink final : public CsvSink {
 public:
  std::uint64_t lines = 0;
  std::expected<void, CsvWriteError> write(const char* data, std::size_t len) override {
    for (const char* p = data; (p = static_cast<const char*>(std::memchr(p, '\n', len - (p - data)))); ++p) ++lines;
    return {};
  }
};

constexpr float SPECIAL[] = {
    std::numeric_limits<float>::quiet_NaN(), -std::numeric_limits<float>::quiet_NaN(),
    std::numeric_limits<float>::infinity(), -std::numeric_limits<float>::infinity(),
    0.0f, -0.0f, 0.05f, -0.05f, 0.15f, 0.25f, -0.25f, 1048575.95f, 10485759.0f, 10485760.0f, -10485761.0f,
    1e30f, -1e38f, std::numeric_limits<float>::max(), std::numeric_limits<float>::lowest(),
    std::numeric_limits<float>::denorm_min(), std::numeric_limits<float>::min(), 9.2233720e18f, 1.8446744e19f,
};

std::size_t count(FuzzedDataProvider& in) { return in.ConsumeIntegralInRange<std::size_t>(0, 1023); }

EventRecord draw_record(FuzzedDataProvider& in) {
  const int n_data = in.ConsumeIntegralInRange<int>(0, 8);
  const int n_labels = in.ConsumeIntegralInRange<int>(0, 8);
  const int n_time = in.ConsumeIntegralInRange<int>(0, 8);
  const bool has_timing = in.ConsumeBool();
  const int n_timing = in.ConsumeIntegralInRange<int>(0, 8);
  EventRecord r;
  r.data.resize(static_cast<std::size_t>(n_data));
  r.window_labels.resize(static_cast<std::size_t>(n_labels));
  r.time.resize(static_cast<std::size_t>(n_time));
  if (has_timing) r.timing.emplace(static_cast<std::size_t>(n_timing));
  const int width = std::max({n_data, n_labels, n_time, n_timing});
  for (int c = 0; c < width; ++c) {
    if (c < n_data) {
      auto& x = r.data[static_cast<std::size_t>(c)];
      const std::size_t n = count(in);
      switch (in.ConsumeIntegralInRange<int>(0, 2)) {
        case 0:
          for (std::size_t i = 0; i < n; ++i) x.push_back(static_cast<float>(i) * 0.1f + static_cast<float>(c));
          break;
        case 1: {  // raw floats from the front of the input; as many as it still holds
          const auto bytes = in.ConsumeBytes<std::uint8_t>(4 * n);
          x.resize(bytes.size() / 4);
          if (!x.empty()) std::memcpy(x.data(), bytes.data(), 4 * x.size());
          break;
        }
        default:
          for (std::size_t i = 0; i < n; ++i) x.push_back(in.PickValueInArray(SPECIAL));
          break;
      }
    }
    if (c < n_labels) {
      auto& labels = r.window_labels[static_cast<std::size_t>(c)];
      const std::size_t n = count(in);
      for (std::size_t i = 0; i < n; ++i) labels.push_back(in.ConsumeIntegral<std::uint16_t>());
    }
    if (c < n_time) {
      auto& time = r.time[static_cast<std::size_t>(c)];
      const std::size_t n = count(in);
      for (std::size_t i = 0; i < n; ++i) time.push_back(static_cast<std::uint16_t>(i * 7));
    }
    if (has_timing && c < n_timing) {
      auto& timing = (*r.timing)[static_cast<std::size_t>(c)];
      const std::size_t n = count(in);
      for (std::size_t i = 0; i < n; ++i) timing.push_back(in.ConsumeIntegral<std::uint32_t>());
    }
  }
  return r;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const int dev_null = open("/dev/null", O_WRONLY | O_CLOEXEC);
  FuzzedDataProvider in(data, size);
  const auto family = static_cast<Family>(in.ConsumeIntegralInRange<int>(0, 8));
  Params params;
  params.samples = in.ConsumeIntegralInRange<std::uint64_t>(0, 64);
  std::vector<EventRecord> records(static_cast<std::size_t>(in.ConsumeIntegralInRange<int>(0, 4)));
  for (auto& r : records) r = draw_record(in);

  CountingSink sink;
  if (!export_csv(records, sink, params, family, dev_null)) std::abort();
  std::uint64_t want = 1;
  for (const auto& r : records)
    if (params.samples > 0) want += merge_window_labels(r.window_labels).size() * params.samples;
  if (sink.lines != want) std::abort();
  return 0;
}
