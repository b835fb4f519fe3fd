#include "parsing/brisav1.h"

#include <algorithm>
#include <limits>
#include <string_view>

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

// Fills the record from the kept sub-packets, one at a time, in packet order.
class Filler {
 public:
  explicit Filler(const ParamsCache& cache)
      : cache_(cache),
        look_begin_(std::min(cache.headers, cache.subpacket_words)),
        look_end_(std::min(saturating::add(cache.headers, cache.samples), cache.subpacket_words)),
        readable_(cache.subpacket_words >= HEADER_WORDS &&
                  saturating::add(cache.headers, cache.samples) <= cache.subpacket_words) {}

  std::expected<void, ParsingError> add(const std::uint8_t* sub) {
    if (!created_) {
      if (cache_.channels > MAX_CHANNELS) return std::unexpected(ParsingError::Kind::InvalidParameters);
      event_ = Brisav1Event(cache_.channels);
      event_.timing.emplace(cache_.channels);
      created_ = true;
    }
    if (cache_.samples == 0) return {};
    std::uint16_t any = 0;
    for (std::uint64_t i = look_begin_; i < look_end_; ++i) any |= be_word(sub + 2 * i);
    if (any == 0) return {};
    // A sub-packet too short for its header words or its samples cannot be read.
    if (!readable_) return std::unexpected(ParsingError::Kind::InvalidParameters);

    const std::uint16_t c = be_word(sub) & cache_.chanmask;
    if (c >= cache_.channels) return std::unexpected(ParsingError::Kind::InvalidChannel);
    samples::append_be(sub + 2 * cache_.headers, cache_.samples, event_.data[c]);
    event_.window_labels[c].push_back(be_word(sub + 6) & cache_.abs_wind_mask);
    const std::uint32_t high = std::uint32_t{static_cast<std::uint16_t>(be_word(sub + 2) & cache_.timing_mask)}
                               << cache_.timing_shift;
    (*event_.timing)[c].push_back(high | (be_word(sub + 4) & cache_.timing_mask));
    kept_ = true;
    return {};
  }

  bool any_subpacket() const { return created_; }
  bool any_kept() const { return kept_; }
  Brisav1Event& event() { return event_; }

 private:
  const ParamsCache& cache_;
  std::uint64_t look_begin_;  // the words looked at to skip an all-zero sub-packet
  std::uint64_t look_end_;
  bool readable_;  // the sub-packet holds the header words and all samples
  Brisav1Event event_;  // sized at the first sub-packet
  bool created_ = false;
  bool kept_ = false;
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
  brisav1::Filler filler(cache);

  // Segments run up to and including the next stop word; only those of exactly P words count.
  const std::uint8_t* bytes = packet.data();
  const std::size_t words = packet.size() / 2;
  std::size_t segment_start = 0;
  for (std::size_t i = 0; i < words; ++i) {
    if (be_word(bytes + 2 * i) != cache.stop_word) continue;
    if (i - segment_start + 1 == cache.subpacket_words)
      if (auto ok = filler.add(bytes + 2 * segment_start); !ok) return std::unexpected(ok.error());
    segment_start = i + 1;
  }
  if (!filler.any_subpacket()) return std::unexpected(ParsingError::Kind::EmptyPackage);
  if (!filler.any_kept()) return std::unexpected(ParsingError::Kind::MissingData);
  brisav1::fill_time(filler.event(), cache.samples);
  return std::move(filler.event());
}

}  // namespace tavroacq
