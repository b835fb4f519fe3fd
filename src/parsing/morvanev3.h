// morvanev3 packets: window-major blocks (a channel header word, then the channel's samples) and
// one further word per window, with channel and window counts found from the packet length.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>

#include "parsing/length_layout.h"
#include "parsing/util.h"

namespace tavroacq {
namespace morvanev3 {

// The parsing constants of one call: the block settings read from Params with this family's
// defaults (chanmask 0x0C00, chan_shift 10, windmask 0x03FE, datamask 0x1FFF, H = 3, X = 1:
// further words per window after its blocks, T = 2: T − 1 words follow the window region,
// n_last_bits 1, n_channel_headers 1), and the length table.
struct ParamsCache : length_layout::BlockSettings {
  // Lengths of the board's default layout: one extra word per window and four words of event
  // overhead, whatever the settings above say.
  length_layout::LengthTable lengths;

  // InvalidParameters for settings that leave no layout: too many channels, a block size
  // S + n_channel_headers that is zero or beyond 64 bits, or T = 0 (the region would end past
  // the packet).
  static std::expected<ParamsCache, ParsingError> from(const Params& params);
};

// The layout (n, u) a packet is read with, found from its length alone; none when no layout
// of the table has that length or none of several fits.
std::optional<length_layout::Layout> get_chan_winds(Packet packet, const ParamsCache& cache);

}  // namespace morvanev3

template <>
std::expected<Morvanev3Event, ParsingError> ParseInto<Morvanev3Event>::parse_into(Packet packet, const Params& params);

}  // namespace tavroacq
