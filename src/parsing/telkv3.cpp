#include "parsing/telkv3.h"

#include <algorithm>
#include <vector>

#include "parsing/samples.h"

namespace tavroacq {
namespace telkv3 {

std::expected<ParamsCache, ParsingError> ParamsCache::from(const Params& params) {
  ParamsCache c;
  c.channels = params.channels;
  c.windows = params.windows;
  c.samples = params.samples;
  c.databitmask = static_cast<std::uint16_t>(uint_param(params, "databitmask", c.databitmask));
  c.chanmask = static_cast<std::uint16_t>(uint_param(params, "chanmask", c.chanmask));
  c.chan_shift = static_cast<std::uint16_t>(uint_param(params, "chan_shift", c.chan_shift));
  c.windmask = static_cast<std::uint16_t>(uint_param(params, "windmask", c.windmask));
  c.n_event_headers = uint_param(params, "n_event_headers", c.n_event_headers);
  c.n_window_headers = uint_param(params, "n_window_headers", c.n_window_headers);
  c.n_footers = uint_param(params, "n_footers", c.n_footers);
  c.n_last_bits = uint_param(params, "n_last_bits", c.n_last_bits);

  const std::uint64_t s = c.samples;
  std::uint64_t window = 0;
  if (c.channels > MAX_CHANNELS || s == UINT64_MAX || __builtin_add_overflow(s, c.n_window_headers, &window) ||
      window == 0 || c.n_footers == 0)
    return std::unexpected(ParsingError::Kind::InvalidParameters);
  return c;
}

}  // namespace telkv3

template <>
std::expected<Telkv3Event, ParsingError> ParseInto<Telkv3Event>::parse_into(Packet packet, const Params& params) {
  using Kind = ParsingError::Kind;
  if (packet.empty()) return std::unexpected(Kind::MissingData);
  if (packet.size() % 2 != 0) return std::unexpected(Kind::UnexpectedLength);
  const auto cache = telkv3::ParamsCache::from(params);
  if (!cache) return std::unexpected(cache.error());
  const telkv3::ParamsCache& p = *cache;
  const std::uint64_t n_words = packet.size() / 2;
  const std::uint64_t h = p.n_event_headers;
  const std::uint64_t t = p.n_footers;

  // A first, coarser length check that assumes one header word per window and one trailing word.
  if (n_words <= h || (n_words - h - 1) % (p.samples + 1) != 0) return std::unexpected(Kind::UnexpectedLength);
  if (packet.size() < 3) return std::unexpected(Kind::UnexpectedLength);

  // The window region runs from word H to word N − T inclusive.
  const std::uint64_t window = p.samples + p.n_window_headers;
  if (t > n_words + 1 || n_words + 1 - t < h) return std::unexpected(Kind::UnexpectedLength);
  const std::uint64_t region_words = n_words + 1 - t - h;
  if (region_words % window != 0) return std::unexpected(Kind::UnexpectedLength);
  const std::uint64_t n_windows = region_words / window;
  const std::uint8_t* region = packet.data() + 2 * h;

  const unsigned chan_shift = p.chan_shift % 16;
  const unsigned last_bits = static_cast<unsigned>(p.n_last_bits % 16);
  auto channel_of = [&](std::uint16_t header) {
    return static_cast<std::uint16_t>((header & p.chanmask) >> chan_shift);
  };

  // The channels present are the distinct channel fields of the first min(C, F) window headers;
  // the windows then belong to them round-robin, in ascending channel order.
  std::vector<std::uint16_t> found;
  const std::uint64_t probed = std::min(p.channels, n_windows);
  found.reserve(probed);
  for (std::uint64_t f = 0; f < probed; ++f) found.push_back(channel_of(be_word(region + 2 * f * window)));
  std::sort(found.begin(), found.end());
  found.erase(std::unique(found.begin(), found.end()), found.end());
  if (!found.empty() && found.back() >= p.channels) return std::unexpected(Kind::InvalidChannel);

  Telkv3Event record(p.channels);
  const std::uint64_t n = found.size();
  const std::uint64_t per_window = window - 1;  // samples taken from each window (its words 1 to W − 1)
  const std::uint16_t dmask = p.databitmask;
  for (std::uint64_t i = 0; i < n; ++i) {
    const std::uint64_t count = (n_windows - i + n - 1) / n;
    auto& data = record.data[found[i]];
    auto& labels = record.window_labels[found[i]];
    data.resize(count * per_window);
    labels.resize(count);
    float* out = data.data();
    std::uint16_t* label = labels.data();
    for (std::uint64_t f = i; f < n_windows; f += n) {
      const std::uint8_t* w = region + 2 * f * window;
      *label++ = static_cast<std::uint16_t>((be_word(w) & p.windmask) >> last_bits);
      samples::write_masked_be(w + 2, per_window, dmask, last_bits, out);
      out += per_window;
    }
  }

  if (auto axis = set_time_axis(record.time, record.window_labels, params); !axis) return std::unexpected(axis.error());
  return record;
}

}  // namespace tavroacq
