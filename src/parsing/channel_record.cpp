#include "parsing/channel_record.h"

#include "parsing/samples.h"
#include "parsing/saturating.h"
#include "parsing/util.h"

namespace tavroacq::channel_record {

Rules::Rules(const Params& params)
    : n_window_headers(uint_param(params, "n_window_headers", 1)),
      n_window_footers(uint_param(params, "n_window_footers", 1)),
      data_mask(static_cast<std::uint16_t>(uint_param(params, "data_mask", 0x03FF))),
      chanmask(static_cast<std::uint16_t>(uint_param(params, "chanmask", 0xFF00))),
      chan_shift(static_cast<std::uint16_t>(uint_param(params, "chan_shift", 8))),
      windmask(static_cast<std::uint16_t>(uint_param(params, "windmask", 0x00FF))),
      windows(params.windows),
      samples(params.samples),
      record_words(saturating::add(saturating::add(n_window_headers, saturating::mul(windows, samples)),
                                   n_window_footers)) {}

std::expected<void, ParsingError> Rules::check() const {
  if (record_words == 0 || (samples == 0 && windows != 0))
    return std::unexpected(ParsingError::Kind::InvalidParameters);
  return {};
}

void append_record(const std::uint8_t* record, const Rules& rules, std::vector<float>& data,
                   std::vector<std::uint16_t>& labels) {
  samples::append_inverted_le(record + 2 * rules.n_window_headers, rules.windows * rules.samples, rules.data_mask, data);

  // Labels s, s + 1, ... while below s + windows (16-bit), each modulo windows (16-bit): the
  // ring rotated to start at s; nothing when the end wraps past 65535.
  const auto first = static_cast<std::uint16_t>(le_word(record) & rules.windmask);
  const auto ring = static_cast<std::uint16_t>(rules.windows);
  const auto end = static_cast<std::uint16_t>(first + ring);
  if (end <= first) return;  // also covers ring = 0, where no label is appended
  std::uint16_t label = first % ring;
  for (std::uint32_t j = first; j < end; ++j) {
    labels.push_back(label);
    if (++label == ring) label = 0;
  }
}

}  // namespace tavroacq::channel_record
