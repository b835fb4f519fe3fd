// What every board-family parser shares: the parsing interface, word decoding, reading an
// unsigned setting with its default, the time-axis builder, and the model-string dispatch.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "acquisition/metadata.h"
#include "error.h"
#include "parsing/event.h"

namespace tavroacq {

using Packet = std::span<const std::uint8_t>;

// Implemented once per record type E: a pure function of the packet and the parameters.
template <class E>
struct ParseInto {
  static std::expected<E, ParsingError> parse_into(Packet packet, const Params& params);
};

// Consecutive big-endian 16-bit words from offset 0; a final odd byte is ignored.
std::vector<std::uint16_t> be_words(Packet packet);

inline std::uint16_t be_word(const std::uint8_t* p) {
  return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}
inline std::uint16_t le_word(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

// The setting `key` of `additional` when it is a non-negative integer, else `default_value`.
std::uint64_t uint_param(const Params& params, std::string_view key, std::uint64_t default_value);

// The most channels a parser accepts in `channels`. Records hold one entry per channel whatever
// the packet holds, so an absurd count must be refused (InvalidParameters) before anything is
// allocated; 65536 is every number a 16-bit channel field can name, far beyond any board.
inline constexpr std::uint64_t MAX_CHANNELS = 65536;

// Appends, per channel, `samples` time values per window label, counted from the channel's first
// label (the window ring wraps once). Fails with MissingData when a channel has no entry.
std::expected<void, ParsingError> set_time_axis(std::vector<std::vector<std::uint16_t>>& time,
                                                const std::vector<std::vector<std::uint16_t>>& window_labels,
                                                const Params& params);

enum class Family : std::uint8_t { Telkv3, Telkv3S, Morvanev3, Brisav1, Skiv16, Orra96, Vexoc, Vexv2, Dunlinv1 };

// The board-model dispatch table: exact, case-sensitive comparison with the accepted strings.
std::optional<Family> family_for_model(std::string_view model);

// Selects the family from params.model and parses with it; UnsupportedBoardModel when the model
// is not in the table (the packet is not looked at).
std::expected<EventRecord, ParsingError> parse_event(Packet packet, const Params& params);
std::expected<EventRecord, ParsingError> parse_with(Family family, Packet packet, const Params& params);

}  // namespace tavroacq
