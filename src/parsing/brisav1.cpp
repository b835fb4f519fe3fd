#include "parsing/brisav1.h"

#include <algorithm>
#include <limits>
#include <string_view>
#include <vector>

#include "parsing/samples.h"
#include "parsing/saturating.h"

namespace tavroacq {

namespace brisav1 {

std::uint16_t stop_word_param(const Params& params) {
  const YamlValue* v = params.find("stop_word");
  if (v == nullptr || v->kind != YamlValue::Kind::String) return DEFAULT_STOP_WORD;
  std::string_view text = v->text;
  if (text.starts_with('+')) text.remove_prefix(1);
  if (text.empty()) return DEFAULT_STOP_WORD;
  std::uint64_t value = 0;
  for (char ch : text) {
    unsigned digit;
    if (ch >= '0' && ch <= '9') digit = static_cast<unsigned>(ch - '0');
    else if (ch >= 'a' && ch <= 'f') digit = static_cast<unsigned>(ch - 'a' + 10);
    else if (ch >= 'A' && ch <= 'F') digit = static_cast<unsigned>(ch - 'A' + 10);
    else return DEFAULT_STOP_WORD;
    if (value > (std::numeric_limits<std::uint64_t>::max() - digit) / 16) return DEFAULT_STOP_WORD;
    value = value * 16 + digit;
  }
  return static_cast<std::uint16_t>(value);
}

ParamsCache::ParamsCache(const Params& params)
    : chanmask(static_cast<std::uint16_t>(uint_param(params, "chanmask", 0x003F))),
      abs_wind_mask(static_cast<std::uint16_t>(uint_param(params, "abs_wind_mask", 0x003F))),
      timing_mask(static_cast<std::uint16_t>(uint_param(params, "timing_mask", 0x0FFF))),
      timing_shift(static_cast<std::uint32_t>(uint_param(params, "timing_shift", 12) % 32)),
      packet_size(uint_param(params, "packet_size", 72)),
      headers(uint_param(params, "headers", 4)),
      stop_word(stop_word_param(params)),
      channels(params.channels),
      samples(params.samples),
      subpacket_words(packet_size / 2 + 1) {}

namespace {

// Header words 0 to 3 of a sub-packet: channel, high and low timing parts, window label.
constexpr std::uint64_t HEADER_WORDS = 4;

// The segments of the packet, each running up to and including the next stop word; only those
// of exactly P words are sub-packets.
class Subpackets {
 public:
  Subpackets(Packet packet, const ParamsCache& cache)
      : bytes_(packet.data()), words_(packet.size() / 2), stop_(cache.stop_word), size_(cache.subpacket_words) {}

  // The start of the next sub-packet, or nullptr after the last.
  const std::uint8_t* next() {
    while (start_ < words_) {
      // The common case first: the segment from here is a sub-packet, its last word the first
      // stop word. This test runs over blocks of words and vectorises.
      if (size_ <= words_ - start_ && word(start_ + size_ - 1) == stop_ && !has_stop(start_, size_ - 1)) {
        const std::size_t start = start_;
        start_ += size_;
        return bytes_ + 2 * start;
      }
      // Otherwise the segment is dropped: go on after its stop word.
      std::size_t k = start_;
      while (k < words_ && word(k) != stop_) ++k;
      start_ = k + 1;
    }
    return nullptr;
  }

 private:
  std::uint16_t word(std::size_t k) const { return be_word(bytes_ + 2 * k); }

  // Whether words [from, from + count) hold the stop word.
  bool has_stop(std::size_t from, std::uint64_t count) const {
    constexpr std::size_t BLOCK = 16;
    std::uint64_t i = 0;
    for (; i + BLOCK <= count; i += BLOCK) {
      unsigned found = 0;
#pragma GCC unroll 1  // left whole, the block loop is vectorised at -O3 too
      for (std::size_t k = 0; k < BLOCK; ++k) found |= static_cast<unsigned>(word(from + i + k) == stop_);
      if (found != 0) return true;
    }
    for (; i < count; ++i)
      if (word(from + i) == stop_) return true;
    return false;
  }

  const std::uint8_t* bytes_;
  std::size_t words_;
  std::uint16_t stop_;
  std::uint64_t size_;
  std::size_t start_ = 0;  // first word of the current segment
};

// Which sub-packets are kept, and the appending of a kept one's window to its channel.
class Windows {
 public:
  explicit Windows(const ParamsCache& cache)
      : cache_(cache),
        look_begin_(std::min(cache.headers, cache.subpacket_words)),
        look_end_(std::min(saturating::add(cache.headers, cache.samples), cache.subpacket_words)),
        readable_(cache.subpacket_words >= HEADER_WORDS &&
                  saturating::add(cache.headers, cache.samples) <= cache.subpacket_words) {}

  // True for a sub-packet whose window is kept, false for one skipped (all-zero samples).
  std::expected<bool, ParsingError> keep(const std::uint8_t* sub) const {
    if (cache_.samples == 0) return false;
    std::uint16_t any = 0;
    for (std::uint64_t i = look_begin_; i < look_end_; ++i) any |= be_word(sub + 2 * i);
    if (any == 0) return false;
    // A sub-packet too short for its header words or its samples cannot be read.
    if (!readable_) return std::unexpected(ParsingError::Kind::InvalidParameters);
    if (channel(sub) >= cache_.channels) return std::unexpected(ParsingError::Kind::InvalidChannel);
    return true;
  }

  std::uint16_t channel(const std::uint8_t* sub) const { return be_word(sub) & cache_.chanmask; }

  // Appends a kept sub-packet's samples, label and timing value to its channel.
  void append(Brisav1Event& event, const std::uint8_t* sub) const {
    const std::uint16_t c = channel(sub);
    samples::append_be(sub + 2 * cache_.headers, cache_.samples, event.data[c]);
    event.window_labels[c].push_back(be_word(sub + 6) & cache_.abs_wind_mask);
    const std::uint32_t high = std::uint32_t{static_cast<std::uint16_t>(be_word(sub + 2) & cache_.timing_mask)}
                               << cache_.timing_shift;
    (*event.timing)[c].push_back(high | (be_word(sub + 4) & cache_.timing_mask));
  }

 private:
  const ParamsCache& cache_;
  std::uint64_t look_begin_;  // the words looked at to skip an all-zero sub-packet
  std::uint64_t look_end_;
  bool readable_;  // the sub-packet holds the header words and all samples
};

// One contiguous run per channel, in samples from the earliest first window of all channels.
void fill_time(Brisav1Event& event, std::uint64_t samples) {
  const auto& timing = *event.timing;
  std::uint32_t earliest = std::numeric_limits<std::uint32_t>::max();
  for (const auto& t : timing)
    if (!t.empty()) earliest = std::min(earliest, t.front());
  const auto s = static_cast<std::uint32_t>(samples);
  for (std::size_t c = 0; c < timing.size(); ++c) {
    if (timing[c].empty()) continue;
    const std::uint32_t t = timing[c].front() - earliest;
    const auto u = static_cast<std::uint32_t>(timing[c].size());
    const auto start = static_cast<std::uint16_t>(t * s);
    const auto end = static_cast<std::uint16_t>((t + u) * s);
    if (end <= start) continue;
    auto& out = event.time[c];
    out.resize(end - start);
    for (std::size_t i = 0; i < out.size(); ++i) out[i] = static_cast<std::uint16_t>(start + i);
  }
}

}  // namespace
}  // namespace brisav1

template <>
std::expected<Brisav1Event, ParsingError> ParseInto<Brisav1Event>::parse_into(Packet packet, const Params& params) {
  if (packet.size() % 2 != 0) return std::unexpected(ParsingError::Kind::UnexpectedLength);
  const brisav1::ParamsCache cache(params);
  brisav1::Subpackets subpackets(packet, cache);
  const std::uint8_t* sub = subpackets.next();
  if (sub == nullptr) return std::unexpected(ParsingError::Kind::EmptyPackage);
  if (cache.channels > MAX_CHANNELS) return std::unexpected(ParsingError::Kind::InvalidParameters);

  // First the sub-packets to keep, with every check in packet order; then, with the windows
  // per channel known, each channel's sequences are sized once and filled.
  const brisav1::Windows windows(cache);
  std::vector<const std::uint8_t*> kept;
  for (; sub != nullptr; sub = subpackets.next()) {
    auto keep = windows.keep(sub);
    if (!keep) return std::unexpected(keep.error());
    if (*keep) kept.push_back(sub);
  }
  if (kept.empty()) return std::unexpected(ParsingError::Kind::MissingData);

  std::vector<std::uint64_t> per_channel(cache.channels);
  for (const std::uint8_t* k : kept) ++per_channel[windows.channel(k)];
  Brisav1Event event(cache.channels);
  event.timing.emplace(cache.channels);
  for (std::size_t c = 0; c < per_channel.size(); ++c) {
    if (per_channel[c] == 0) continue;
    event.data[c].reserve(per_channel[c] * cache.samples);
    event.window_labels[c].reserve(per_channel[c]);
    (*event.timing)[c].reserve(per_channel[c]);
  }
  for (const std::uint8_t* k : kept) windows.append(event, k);
  brisav1::fill_time(event, cache.samples);
  return event;
}

}  // namespace tavroacq
