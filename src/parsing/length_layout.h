// Window-major packets that do not state their geometry (telkv3s, morvanev3): the settings both
// read, the channel and window counts found from the packet length, and the reading of the blocks.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <span>

#include "acquisition/metadata.h"
#include "error.h"
#include "parsing/event.h"

namespace tavroacq::length_layout {

// A geometry: n channel blocks per window, u windows.
struct Layout {
  std::uint64_t channels = 0;
  std::uint64_t windows = 0;
  bool operator==(const Layout&) const = default;
};

// The packet lengths every geometry produces: (n, u), for u = 1 to windows − 1 and n = 1 to
// channels, has 2·(u·(n·block + window_extra) + overhead) bytes, modulo 2^64. A length's
// candidates are solved for directly instead of listing the table, so the cost of a lookup
// grows with the channel count only, never with the window count.
struct LengthTable {
  std::uint64_t channels = 0;
  std::uint64_t windows = 0;
  std::uint64_t block = 0;
  std::uint64_t window_extra = 0;
  std::uint64_t overhead = 0;

  // The geometry a packet of `length` (even) bytes is read with. A single candidate is taken
  // as it is. Among several, the one with most channels (then fewest windows) whose window of
  // n·block + window_pad words is not empty and fits once after `event_headers` words; none
  // when the packet is shorter than its event headers or nothing fits. None without candidates.
  std::optional<Layout> choose(std::uint64_t length, std::uint64_t event_headers, std::uint64_t window_pad) const;
};

// How a block reads: one header word (channel and label fields) followed by block − 1 samples.
struct BlockFormat {
  std::uint64_t block = 0;       // B ≥ 1
  std::uint64_t window_pad = 0;  // X: further words per window
  std::uint16_t chanmask = 0;
  std::uint16_t chan_shift = 0;  // < 16
  std::uint16_t windmask = 0;
  std::uint16_t datamask = 0;
  std::uint16_t last_bits = 0;   // < 16: shift of masked samples and labels
};

// The settings both families read from Params, by the same keys; each family gives its own
// defaults.
struct BlockSettings {
  std::uint64_t channels = 0;           // C
  std::uint64_t windows = 0;            // Wn
  std::uint64_t samples = 0;            // S
  std::uint64_t n_channel_headers = 0;  // block size B = S + n_channel_headers
  std::uint16_t chanmask = 0;
  std::uint16_t chan_shift = 0;         // used modulo 16
  std::uint16_t windmask = 0;
  std::uint16_t datamask = 0;
  std::uint64_t n_event_headers = 0;    // H
  std::uint64_t n_footer_words = 0;     // T
  std::uint64_t n_window_headers = 0;   // X: further words per window when cutting the packet
  std::uint64_t n_last_bits = 0;        // used modulo 16

  // C, Wn and S from `params`, every other setting by its key there, `defaults` giving the value
  // of a key that is absent or not a non-negative integer.
  static BlockSettings read(const Params& params, const BlockSettings& defaults);
  // B, or none for settings that leave no block: C above MAX_CHANNELS, or S + n_channel_headers
  // zero or beyond 64 bits.
  std::optional<std::uint64_t> block_size() const;
};

// Reads the window region of a packet, words H to N − `trailing_words` − 1, with `n` blocks per
// window into `record` (blocks of `block` words; see read_blocks). UnexpectedLength when the
// packet is shorter than its header and trailing words.
std::expected<void, ParsingError> read_region(std::span<const std::uint8_t> packet, const BlockSettings& settings,
                                              std::uint64_t block, std::uint64_t trailing_words, std::uint64_t n,
                                              EventRecord& record);

// Cuts the region of `region_words` big-endian words into windows of n·B + X words (leftover
// words ignored), each read as floor((n·B + X) / B) blocks, and appends every block's samples
// and label to its channel in `record`. A channel number at or above the record's channel
// count fails with InvalidChannel.
std::expected<void, ParsingError> read_blocks(const std::uint8_t* region, std::uint64_t region_words,
                                              std::uint64_t n, const BlockFormat& format, EventRecord& record);

}  // namespace tavroacq::length_layout
