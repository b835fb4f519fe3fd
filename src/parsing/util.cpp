#include "parsing/util.h"

#include <array>
#include <utility>

namespace tavroacq {

std::vector<std::uint16_t> be_words(Packet packet) {
  std::vector<std::uint16_t> words(packet.size() / 2);
  for (std::size_t k = 0; k < words.size(); ++k) words[k] = be_word(packet.data() + 2 * k);
  return words;
}

std::uint64_t uint_param(const Params& params, std::string_view key, std::uint64_t default_value) {
  const YamlValue* v = params.find(key);
  if (v == nullptr || v->kind != YamlValue::Kind::UInt) return default_value;
  return v->uint;
}

std::expected<void, ParsingError> set_time_axis(std::vector<std::vector<std::uint16_t>>& time,
                                                const std::vector<std::vector<std::uint16_t>>& window_labels,
                                                const Params& params) {
  const std::uint64_t channels = params.channels;
  const auto ring = static_cast<std::uint32_t>(params.windows);  // W modulo 2^32 in the wrap sum
  const std::uint64_t samples = params.samples;
  for (std::uint64_t i = 0; i < channels; ++i) {
    if (i >= window_labels.size()) return std::unexpected(ParsingError::Kind::MissingData);
    const auto& labels = window_labels[i];
    if (labels.empty()) continue;
    if (i >= time.size()) return std::unexpected(ParsingError::Kind::MissingData);
    auto& out = time[i];
    const std::uint16_t first = labels.front();
    // Every label adds exactly `samples` values; guard the size before growing the vector.
    if (samples > (out.max_size() - out.size()) / labels.size()) throw std::bad_alloc();
    const std::size_t old = out.size();
    out.resize(old + labels.size() * samples);
    std::uint16_t* dst = out.data() + old;
    for (std::uint16_t w : labels) {
      const std::uint32_t r = w >= first ? std::uint32_t{w} - first : std::uint32_t{w} + ring - first;
      const auto base = static_cast<std::uint16_t>(static_cast<std::uint64_t>(r) * samples);
      // Indexed stores rather than push_back: the loop then vectorises.
      std::uint16_t value = base;
      for (std::uint64_t j = 0; j < samples; ++j) dst[j] = value++;
      dst += samples;
    }
  }
  return {};
}

std::optional<Family> family_for_model(std::string_view model) {
  static constexpr std::array<std::pair<std::string_view, Family>, 13> TABLE{{
      {"telkv3", Family::Telkv3},
      {"telkv3s", Family::Telkv3S},
      {"morvanev3", Family::Morvanev3},
      {"brisav2_eval", Family::Brisav1},
      {"brisav1_evalr2", Family::Brisav1},
      {"brisav2_evalr1", Family::Brisav1},
      {"brisav2_evalr2", Family::Brisav1},
      {"skiv16", Family::Skiv16},
      {"orra96", Family::Orra96},
      {"vexoc_vex", Family::Vexoc},
      {"vexoc_telk", Family::Vexoc},
      {"vexv2", Family::Vexv2},
      {"dunlin", Family::Dunlinv1},
  }};
  for (const auto& [name, family] : TABLE)
    if (name == model) return family;
  return std::nullopt;
}

std::expected<EventRecord, ParsingError> parse_event(Packet packet, const Params& params) {
  auto family = family_for_model(params.model);
  if (!family) return std::unexpected(ParsingError::Kind::UnsupportedBoardModel);
  return parse_with(*family, packet, params);
}

}  // namespace tavroacq
