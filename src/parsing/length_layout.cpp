#include "parsing/length_layout.h"

#include <algorithm>
#include <bit>
#include <vector>

#include "parsing/samples.h"
#include "parsing/util.h"

namespace tavroacq::length_layout {
namespace {

using u128 = unsigned __int128;

constexpr std::uint64_t MOD63 = (std::uint64_t{1} << 63) - 1;

// The inverse of an odd number modulo 2^64 (Newton's iteration, each step doubles the bits).
std::uint64_t inverse_odd(std::uint64_t a) {
  std::uint64_t x = a;  // right to 3 bits
  for (int i = 0; i < 5; ++i) x *= 2 - a * x;
  return x;
}

// The window counts u in [1, last] with u·a ≡ d (mod 2^63): how many (capped at 2), and the
// smallest.
struct Solutions {
  std::uint64_t count = 0;
  std::uint64_t first = 0;
};

Solutions solve(std::uint64_t a, std::uint64_t d, std::uint64_t last) {
  a &= MOD63;
  d &= MOD63;
  if (last == 0) return {};
  if (a == 0) return d == 0 ? Solutions{std::min<std::uint64_t>(last, 2), 1} : Solutions{};
  const int t = std::countr_zero(a);  // < 63
  if ((d & ((std::uint64_t{1} << t) - 1)) != 0) return {};
  const std::uint64_t period = std::uint64_t{1} << (63 - t);
  const std::uint64_t u0 = ((d >> t) * inverse_odd(a >> t)) & (period - 1);
  const std::uint64_t first = u0 == 0 ? period : u0;
  if (first > last) return {};
  return {std::min<std::uint64_t>((last - first) / period + 1, 2), first};
}

}  // namespace

std::optional<Layout> LengthTable::choose(std::uint64_t length, std::uint64_t event_headers,
                                          std::uint64_t window_pad) const {
  if (windows < 2 || channels == 0 || channels > UINT64_MAX - 1) return std::nullopt;
  // 2·(u·A + overhead) ≡ length (mod 2^64)  ⇔  u·A ≡ length/2 − overhead (mod 2^63).
  const std::uint64_t target = length / 2 - overhead;
  const auto fits = [&](std::uint64_t n) {
    const u128 window = u128{n} * block + window_pad;
    return window > 0 && u128{length} >= 2 * (u128{event_headers} + window);
  };
  std::uint64_t total = 0;
  std::optional<Layout> any, fitting;
  // Candidates in the table's order: most channels first, then fewest windows.
  for (std::uint64_t n = channels; n >= 1; --n) {
    const Solutions s = solve(n * block + window_extra, target, windows - 1);
    if (s.count == 0) continue;
    total += s.count;
    if (!any) any = Layout{n, s.first};
    if (!fitting && fits(n)) fitting = Layout{n, s.first};
    if (total >= 2 && fitting) break;
  }
  if (total == 0) return std::nullopt;
  if (total == 1) return any;
  if (u128{length} < 2 * u128{event_headers}) return std::nullopt;
  return fitting;
}

BlockSettings BlockSettings::read(const Params& params, const BlockSettings& defaults) {
  const auto u16 = [&](const char* key, std::uint16_t fallback) {
    return static_cast<std::uint16_t>(uint_param(params, key, fallback));
  };
  return {
      .channels = params.channels,
      .windows = params.windows,
      .samples = params.samples,
      .n_channel_headers = uint_param(params, "n_channel_headers", defaults.n_channel_headers),
      .chanmask = u16("chanmask", defaults.chanmask),
      .chan_shift = u16("chan_shift", defaults.chan_shift),
      .windmask = u16("windmask", defaults.windmask),
      .datamask = u16("datamask", defaults.datamask),
      .n_event_headers = uint_param(params, "n_event_headers", defaults.n_event_headers),
      .n_footer_words = uint_param(params, "n_footer_words", defaults.n_footer_words),
      .n_window_headers = uint_param(params, "n_window_headers", defaults.n_window_headers),
      .n_last_bits = uint_param(params, "n_last_bits", defaults.n_last_bits),
  };
}

std::optional<std::uint64_t> BlockSettings::block_size() const {
  std::uint64_t block = 0;
  if (channels > MAX_CHANNELS || __builtin_add_overflow(samples, n_channel_headers, &block) || block == 0)
    return std::nullopt;
  return block;
}

std::expected<void, ParsingError> read_region(std::span<const std::uint8_t> packet, const BlockSettings& settings,
                                              std::uint64_t block, std::uint64_t trailing_words, std::uint64_t n,
                                              EventRecord& record) {
  const std::uint64_t n_words = packet.size() / 2;
  const std::uint64_t h = settings.n_event_headers;
  if (h > n_words || trailing_words > n_words - h) return std::unexpected(ParsingError::Kind::UnexpectedLength);
  const BlockFormat format{
      .block = block,
      .window_pad = settings.n_window_headers,
      .chanmask = settings.chanmask,
      .chan_shift = static_cast<std::uint16_t>(settings.chan_shift % 16),
      .windmask = settings.windmask,
      .datamask = settings.datamask,
      .last_bits = static_cast<std::uint16_t>(settings.n_last_bits % 16),
  };
  return read_blocks(packet.data() + 2 * h, n_words - h - trailing_words, n, format, record);
}

std::expected<void, ParsingError> read_blocks(const std::uint8_t* region, std::uint64_t region_words,
                                              std::uint64_t n, const BlockFormat& format, EventRecord& record) {
  const std::uint64_t b = format.block;
  if (b == 0) return std::unexpected(ParsingError::Kind::InvalidParameters);
  const u128 window_size = u128{n} * b + format.window_pad;
  if (window_size == 0) return std::unexpected(ParsingError::Kind::InvalidParameters);
  if (window_size > region_words) return {};  // not one window fits
  const auto m = static_cast<std::uint64_t>(window_size);
  const std::uint64_t n_windows = region_words / m;
  const std::uint64_t per_window = m / b;
  const std::uint64_t limit = record.data.size();
  const auto channel_of = [&](const std::uint8_t* block) -> std::uint64_t {
    return static_cast<std::uint16_t>(be_word(block) & format.chanmask) >> format.chan_shift;
  };

  // First pass over the block headers: check every channel in packet order and count the
  // blocks per channel, so each output is sized once.
  std::vector<std::uint64_t> blocks(limit, 0);
  for (std::uint64_t w = 0; w < n_windows; ++w) {
    const std::uint8_t* p = region + 2 * w * m;
    for (std::uint64_t k = 0; k < per_window; ++k, p += 2 * b) {
      const std::uint64_t c = channel_of(p);
      if (c >= limit) return std::unexpected(ParsingError::Kind::InvalidChannel);
      ++blocks[c];
    }
  }

  const std::uint64_t per_block = b - 1;
  std::vector<float*> data_at(limit, nullptr);
  std::vector<std::uint16_t*> label_at(limit, nullptr);
  for (std::uint64_t c = 0; c < limit; ++c) {
    if (blocks[c] == 0) continue;
    auto& data = record.data[c];
    auto& labels = record.window_labels[c];
    data.resize(data.size() + blocks[c] * per_block);
    labels.resize(labels.size() + blocks[c]);
    data_at[c] = data.data() + data.size() - blocks[c] * per_block;
    label_at[c] = labels.data() + labels.size() - blocks[c];
  }

  const std::uint16_t dmask = format.datamask;
  const unsigned shift = format.last_bits;
  for (std::uint64_t w = 0; w < n_windows; ++w) {
    const std::uint8_t* p = region + 2 * w * m;
    for (std::uint64_t k = 0; k < per_window; ++k, p += 2 * b) {
      const std::uint64_t c = channel_of(p);
      *label_at[c]++ = static_cast<std::uint16_t>(static_cast<std::uint16_t>(be_word(p) & format.windmask) >> shift);
      samples::write_masked_be(p + 2, per_block, dmask, shift, data_at[c]);
      data_at[c] += per_block;
    }
  }
  return {};
}

}  // namespace tavroacq::length_layout
