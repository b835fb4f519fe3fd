// The check of a whole raw orra96 event buffer: every sample word of every channel goes through
// check_word, channels in parallel on the worker pool, findings in channel and offset order.
#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <vector>

namespace tavroacq::ecc {

// The fixed layout: one block per chip, sixteen channel areas per block, a 2-byte event footer.
// Only the 4096 sample words of each channel area are examined.
inline constexpr std::uint64_t BLOCK_BYTES = 131140;
inline constexpr std::uint64_t CHANNEL_AREA_BYTES = 8196;
inline constexpr std::uint64_t SAMPLES_START = 3;  // chip byte, then the channel's header word
inline constexpr std::uint64_t SAMPLE_BYTES = 8192;
inline constexpr std::uint64_t CHANNELS_PER_BLOCK = 16;
inline constexpr std::uint64_t MAX_BLOCKS = 6;
inline constexpr std::uint64_t FOOTER_BYTES = 2;

struct ChannelSpan {
  std::uint64_t start;
  std::uint64_t end;  // exclusive
};

// The sample area of each channel index c = 16 × block + channel, as byte offsets in the buffer.
inline constexpr std::array<ChannelSpan, CHANNELS_PER_BLOCK * MAX_BLOCKS> CHANNEL_OFFSETS = [] {
  std::array<ChannelSpan, CHANNELS_PER_BLOCK * MAX_BLOCKS> table{};
  for (std::uint64_t c = 0; c < table.size(); ++c) {
    const std::uint64_t start =
        (c / CHANNELS_PER_BLOCK) * BLOCK_BYTES + (c % CHANNELS_PER_BLOCK) * CHANNEL_AREA_BYTES + SAMPLES_START;
    table[c] = {start, start + SAMPLE_BYTES};
  }
  return table;
}();

// One erroneous sample word.
struct WordError {
  std::uint64_t offset;    // inside the channel's sample area
  std::uint64_t position;  // of the word's low byte in the buffer
  std::uint16_t word;
  std::uint16_t corrected;  // equal to word when nothing was inverted
  std::uint8_t bit;
  std::uint8_t correctable;
  bool operator==(const WordError&) const = default;
};

// A buffer whose size the layout does not cover; checking it would read past its end.
struct BufferSizeError {
  enum class Kind : std::uint8_t {
    TooShort,        // fewer than the 2 footer bytes
    LastBlockShort,  // the last block ends before its sixteenth channel area does
    TooManyBlocks,   // more than six blocks
  };
  Kind kind;
  std::uint64_t size;
  // Names the size, what is wrong with it and the sizes that are accepted.
  std::string message() const;
  bool operator==(Kind k) const { return kind == k; }
};

// The number of channels a buffer of `size` bytes holds (16 per block, blocks counted as
// ceiling((size − 2) / 131140)), or why the size is refused. Accepted: 2 bytes (no block), and
// 131140 × k − 5 to 131140 × k + 2 bytes for k = 1 to 6, where every channel area of the k
// blocks lies inside the buffer (131140 × k + 2 is a real event).
std::expected<std::size_t, BufferSizeError> channel_count(std::uint64_t size);

// The findings of every sample word, ordered by channel index and, within a channel, by offset
// (hence by position). The order does not depend on the number of threads; `max_threads`
// bounds it (0: the whole pool).
std::expected<std::vector<WordError>, BufferSizeError> _ecc_check(std::span<const std::uint8_t> buffer,
                                                                  std::size_t max_threads = 0);

// Writes every correctable finding's corrected word (little-endian) at its position; findings
// that do not lie inside the buffer are skipped.
void apply_corrections(std::span<std::uint8_t> buffer, const std::vector<WordError>& errors);

}  // namespace tavroacq::ecc
