// The channel records that skiv16 and orra96 share: a little-endian header word naming the
// channel and the first window, then inverted sample words whose masked bits form the sample.
#pragma once

#include <cstdint>
#include <expected>
#include <vector>

#include "acquisition/metadata.h"
#include "error.h"

namespace tavroacq::channel_record {

// The record settings both families read, under the same keys and with the same defaults.
struct Rules {
  std::uint64_t n_window_headers;
  std::uint64_t n_window_footers;
  std::uint16_t data_mask;
  std::uint16_t chanmask;
  std::uint16_t chan_shift;  // kept as read; applied modulo 16
  std::uint16_t windmask;
  std::uint64_t windows;
  std::uint64_t samples;
  std::uint64_t record_words;  // headers + windows × samples + footers, saturated

  explicit Rules(const Params& params);

  std::uint16_t channel(std::uint16_t header) const {
    return static_cast<std::uint16_t>((header & chanmask) >> (chan_shift % 16));
  }

  // Records of no words cannot be walked, and windows of no samples would let every record
  // append up to 65535 labels without a byte of data behind them: both are refused.
  std::expected<void, ParsingError> check() const;
};

// Appends the record's samples to `data` and its window labels to `labels`; `record` points at
// its record_words words. The caller has already checked the channel.
void append_record(const std::uint8_t* record, const Rules& rules, std::vector<float>& data,
                   std::vector<std::uint16_t>& labels);

}  // namespace tavroacq::channel_record
