#include "parsing/dunlinv1.h"

#include <algorithm>
#include <vector>

#include "parsing/samples.h"
#include "parsing/saturating.h"

namespace tavroacq {

namespace dunlinv1 {

ParamsCache::ParamsCache(const Params& params)
    : n_window_headers(uint_param(params, "n_window_headers", 2)),
      n_event_headers(uint_param(params, "n_event_headers", 7)),
      n_footer_words(uint_param(params, "n_footer_words", 1)),
      channels(params.channels),
      windows(params.windows),
      samples(params.samples),
      record_words(saturating::add(n_window_headers, samples)),
      frame_words(saturating::add(
          saturating::add(saturating::add(saturating::mul(4, record_words), n_event_headers), n_footer_words), 1)) {}

namespace {

// Walks the frames and their records with every check in packet order, calling
// visit(record, channel) for each record that passes.
template <class Visit>
std::expected<void, ParsingError> walk(Packet packet, const ParamsCache& cache, Visit visit) {
  const std::uint64_t record = cache.record_words;
  const std::uint64_t frame_bytes = 2 * cache.frame_words;
  // The frame region leaves out the last two words. The channel area runs from the frame's
  // header words to its last two words, so a final piece short of just those still holds it.
  const std::size_t region = packet.size() - 4;
  const std::uint64_t area_words = cache.frame_words - 2 - cache.n_event_headers;
  for (std::size_t offset = 0; offset < region; offset += frame_bytes) {
    if (std::min<std::uint64_t>(frame_bytes, region - offset) < frame_bytes - 4)
      return std::unexpected(ParsingError::Kind::UnexpectedLength);
    const std::uint8_t* frame = packet.data() + offset;
    const std::uint64_t base = 4 * std::uint64_t{be_word(frame)};
    for (std::uint64_t r = 0; r < area_words; r += record) {
      if (area_words - r < record) return std::unexpected(ParsingError::Kind::UnexpectedLength);
      const std::uint8_t* rec = frame + 2 * (cache.n_event_headers + r);
      const std::uint64_t c = be_word(rec + 2) + base;
      if (c >= cache.channels) return std::unexpected(ParsingError::Kind::InvalidChannel);
      // The samples start at word 2 whatever n_window_headers says; fewer than two header
      // words leave the record too short for them.
      if (cache.n_window_headers < 2) return std::unexpected(ParsingError::Kind::UnexpectedLength);
      visit(rec, c);
    }
  }
  return {};
}

}  // namespace
}  // namespace dunlinv1

template <>
std::expected<Dunlinv1Event, ParsingError> ParseInto<Dunlinv1Event>::parse_into(Packet packet, const Params& params) {
  const dunlinv1::ParamsCache cache(params);
  // A record needs its label and channel words.
  if (cache.record_words < 2) return std::unexpected(ParsingError::Kind::InvalidParameters);
  const std::size_t n = packet.size();
  if (n % 2 != 0 || n < saturating::mul(2, cache.frame_words)) return std::unexpected(ParsingError::Kind::UnexpectedLength);
  if (cache.channels > dunlinv1::MAX_CHANNELS) return std::unexpected(ParsingError::Kind::InvalidParameters);

  // A first walk checks the packet and counts the records per channel, so that each channel's
  // sequences are sized once; the second fills them and cannot fail.
  std::vector<std::uint64_t> per_channel(cache.channels);
  if (auto ok = dunlinv1::walk(packet, cache, [&](const std::uint8_t*, std::uint64_t c) { ++per_channel[c]; }); !ok)
    return std::unexpected(ok.error());
  Dunlinv1Event event(cache.channels);
  for (std::size_t c = 0; c < per_channel.size(); ++c) {
    if (per_channel[c] == 0) continue;
    event.data[c].reserve(per_channel[c] * cache.samples);
    event.window_labels[c].reserve(per_channel[c]);
  }
  (void)dunlinv1::walk(packet, cache, [&](const std::uint8_t* rec, std::uint64_t c) {
    samples::append_be(rec + 4, cache.samples, event.data[c]);
    event.window_labels[c].push_back(be_word(rec));
  });
  if (auto ok = set_time_axis(event.time, event.window_labels, params); !ok) return std::unexpected(ok.error());
  return event;
}

}  // namespace tavroacq
