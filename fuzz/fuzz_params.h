// Builds acquisition parameters from fuzz input: geometry and every family's settings, with a
// bias towards the corners parsers must survive (zero sizes, huge counts, shifts of 64 and more,
// values of the wrong YAML kind).
#pragma once

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <string>

#include "acquisition/metadata.h"

namespace tavroacq::fuzz {

inline std::uint64_t interesting_u64(FuzzedDataProvider& in) {
  static constexpr std::uint64_t VALUES[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 12, 15, 16, 17, 31, 32, 33, 63, 64, 65,
                                             72, 96, 97, 255, 256, 1023, 1024, 4095, 4096, 8191, 65535, 65536,
                                             65537, 1ull << 31, 1ull << 32, 1ull << 40, 1ull << 63,
                                             ~0ull - 1, ~0ull};
  switch (in.ConsumeIntegralInRange<int>(0, 3)) {
    case 0: return in.PickValueInArray(VALUES);
    case 1: return in.ConsumeIntegralInRange<std::uint64_t>(0, 64);
    case 2: return in.ConsumeIntegral<std::uint16_t>();
    default: return in.ConsumeIntegral<std::uint64_t>();
  }
}

inline YamlValue setting_value(FuzzedDataProvider& in) {
  YamlValue v;
  switch (in.ConsumeIntegralInRange<int>(0, 7)) {
    case 0: v.kind = YamlValue::Kind::Int; v.sint = -in.ConsumeIntegralInRange<std::int64_t>(1, 1000); break;
    case 1: v.kind = YamlValue::Kind::Float; v.number = in.ConsumeFloatingPoint<double>(); break;
    case 2: v = YamlValue::of_string(in.ConsumeRandomLengthString(8)); break;
    case 3: {  // hexadecimal text, as some settings may be written, with or without its prefix
      char buf[24];
      const char* format = in.ConsumeBool() ? "0x%llX" : "%llX";
      std::snprintf(buf, sizeof buf, format, static_cast<unsigned long long>(interesting_u64(in)));
      v = YamlValue::of_string(buf);
      break;
    }
    case 4: v.kind = YamlValue::Kind::Null; break;
    default: v = YamlValue::of_uint(interesting_u64(in)); break;
  }
  return v;
}

inline Params fuzz_params(FuzzedDataProvider& in) {
  static const char* const KEYS[] = {
      "databitmask", "datamask", "data_mask", "chanmask", "chan_shift", "windmask", "abs_wind_mask",
      "timing_mask", "timing_shift", "packet_size", "headers", "stop_word", "chip_stop_word",
      "n_event_headers", "n_window_headers", "n_window_footers", "n_footers", "n_footer_words",
      "n_last_bits", "n_channel_headers", "n_chip_headers", "n_chip_footers", "n_event_footers",
      "num_chips",
  };
  Params p;
  p.channels = interesting_u64(in);
  p.windows = interesting_u64(in);
  p.samples = interesting_u64(in);
  for (const char* key : KEYS)
    if (in.ConsumeBool()) p.additional.emplace_back(key, setting_value(in));
  return p;
}

}  // namespace tavroacq::fuzz
