#include "parsing/vexoc.h"

#include <cstring>
#include <vector>

#include "parsing/samples.h"

namespace tavroacq {
namespace vexoc {

std::expected<ParamsCache, ParsingError> ParamsCache::from(const Params& params) {
  ParamsCache c;
  c.channels = params.channels;
  c.windows = params.windows;
  c.samples = params.samples;
  c.num_chips = uint_param(params, "num_chips", c.num_chips);
  c.databitmask = static_cast<std::uint16_t>(uint_param(params, "databitmask", c.databitmask));
  c.chanmask = static_cast<std::uint16_t>(uint_param(params, "chanmask", c.chanmask));
  c.chan_shift = static_cast<std::uint16_t>(uint_param(params, "chan_shift", c.chan_shift));
  c.windmask = static_cast<std::uint16_t>(uint_param(params, "windmask", c.windmask));
  c.chip_stop_word = static_cast<std::uint16_t>(uint_param(params, "chip_stop_word", c.chip_stop_word));
  c.n_chip_headers = uint_param(params, "n_chip_headers", c.n_chip_headers);
  c.n_window_headers = uint_param(params, "n_window_headers", c.n_window_headers);

  if (c.channels > MAX_CHANNELS || c.num_chips == 0 ||
      __builtin_add_overflow(c.n_window_headers, c.samples, &c.record_words) || c.record_words == 0)
    return std::unexpected(ParsingError::Kind::InvalidParameters);
  c.channels_per_chip = c.channels / c.num_chips;
  return c;
}

}  // namespace vexoc

namespace {

// A chip segment holding window records: where its records start, and how many.
struct Segment {
  const std::uint8_t* records;
  std::uint64_t count;
  std::uint64_t base;  // channel number of the chip's channel 0
};

// The first word equal to `stop` in [p, end), or end. Blocks without the stop word (nearly all
// of them) are skipped by a comparison loop the compiler vectorizes.
const std::uint8_t* find_stop(const std::uint8_t* p, const std::uint8_t* end, std::uint16_t stop) {
  constexpr std::ptrdiff_t BLOCK_WORDS = 32;
  const std::uint8_t stop_bytes[2] = {static_cast<std::uint8_t>(stop >> 8), static_cast<std::uint8_t>(stop)};
  std::uint16_t stop_raw;  // the stop word as it lies in memory
  std::memcpy(&stop_raw, stop_bytes, 2);
  while (end - p >= 2 * BLOCK_WORDS) {
    unsigned found = 0;
    for (std::ptrdiff_t i = 0; i < BLOCK_WORDS; ++i) {
      std::uint16_t raw;
      std::memcpy(&raw, p + 2 * i, 2);
      found |= raw == stop_raw;
    }
    if (found != 0) break;
    p += 2 * BLOCK_WORDS;
  }
  while (p != end && be_word(p) != stop) p += 2;
  return p;
}

}  // namespace

template <>
std::expected<VexocEvent, ParsingError> ParseInto<VexocEvent>::parse_into(Packet packet, const Params& params) {
  using Kind = ParsingError::Kind;
  if (packet.empty()) return std::unexpected(Kind::MissingData);
  if (packet.size() % 2 != 0) return std::unexpected(Kind::UnexpectedLength);
  const auto cache = vexoc::ParamsCache::from(params);
  if (!cache) return std::unexpected(cache.error());
  const vexoc::ParamsCache& p = *cache;

  const std::uint64_t e = p.record_words;
  const std::uint64_t c_max = p.channels;
  const unsigned chan_shift = p.chan_shift % 16;
  const auto channel_in_chip = [&](const std::uint8_t* h) -> std::uint64_t {
    return static_cast<std::uint16_t>(be_word(h) & p.chanmask) >> chan_shift;
  };

  // First pass, in packet order: split the words before the last one at the stop words, check
  // each segment's length and every record's channel, and count the records per channel so each
  // output is sized once.
  std::vector<Segment> segments;
  std::vector<std::uint64_t> records_of(c_max, 0);
  const std::uint8_t* const end = packet.data() + packet.size() - 2;  // the last word is not examined
  const std::uint8_t* start = packet.data();
  for (;;) {
    const std::uint8_t* stop = find_stop(start, end, p.chip_stop_word);
    const std::uint64_t m = static_cast<std::uint64_t>(stop - start) / 2;
    // An empty segment is refused even when chips have no header words.
    if (m < p.n_chip_headers || m == 0) return std::unexpected(Kind::UnexpectedLength);
    const std::uint64_t body = m - p.n_chip_headers;
    if (body % e != 0) return std::unexpected(Kind::UnexpectedLength);
    if (body != 0) {
      const std::uint64_t chip = be_word(start) >> 12;  // top four bits of the first header word
      const Segment seg{start + 2 * p.n_chip_headers, body / e, chip * p.channels_per_chip};
      for (std::uint64_t r = 0; r < seg.count; ++r) {
        const std::uint64_t c = channel_in_chip(seg.records + 2 * r * e) + seg.base;
        if (c >= c_max) return std::unexpected(Kind::InvalidChannel);
        ++records_of[c];
      }
      segments.push_back(seg);
    }
    if (stop == end) break;
    start = stop + 2;
  }

  VexocEvent record(c_max);
  const std::uint64_t s = p.samples;
  std::vector<float*> data_at(c_max, nullptr);
  std::vector<std::uint16_t*> label_at(c_max, nullptr);
  for (std::uint64_t c = 0; c < c_max; ++c) {
    if (records_of[c] == 0) continue;
    record.data[c].resize(records_of[c] * s);
    record.window_labels[c].resize(records_of[c]);
    data_at[c] = record.data[c].data();
    label_at[c] = record.window_labels[c].data();
  }
  const std::uint16_t dmask = p.databitmask;
  for (const Segment& seg : segments) {
    for (std::uint64_t r = 0; r < seg.count; ++r) {
      const std::uint8_t* rec = seg.records + 2 * r * e;
      const std::uint64_t c = channel_in_chip(rec) + seg.base;
      *label_at[c]++ = static_cast<std::uint16_t>(be_word(rec) & p.windmask);
      samples::write_masked_be(rec + 2 * p.n_window_headers, s, dmask, 0, data_at[c]);
      data_at[c] += s;
    }
  }

  if (auto axis = set_time_axis(record.time, record.window_labels, params); !axis) return std::unexpected(axis.error());
  return record;
}

}  // namespace tavroacq
