// Whole-buffer ECC check: size validation, the per-channel scan and the ordered join.
#include "ecc/buffer_check.h"

#include <algorithm>

#include "ecc/orra96.h"
#include "ecc/worker_pool.h"

namespace tavroacq::ecc {
namespace {

constexpr std::size_t CHANNEL_WORDS = SAMPLE_BYTES / 2;

// A clean channel costs one vector screen; a channel with an invalid word gets the parity codes
// of all its words at once, and only the invalid ones are looked at further.
void check_channel(std::span<const std::uint8_t> buffer, ChannelSpan span, std::vector<WordError>& out) {
  const std::uint8_t* area = buffer.data() + span.start;
  if (all_words_valid(area, CHANNEL_WORDS)) return;
  std::array<std::uint8_t, CHANNEL_WORDS> codes;
  parity_codes(area, CHANNEL_WORDS, codes.data());
  out.reserve(out.size() + CHANNEL_WORDS - static_cast<std::size_t>(std::count(codes.begin(), codes.end(), 0)));
  for (std::size_t i = 0; i < CHANNEL_WORDS; ++i) {
    if (codes[i] == 0) continue;
    const auto w = static_cast<std::uint16_t>(area[2 * i] | (area[2 * i + 1] << 8));
    const WordCheck found = *check_word_with_code(w, codes[i]);
    out.push_back({2 * i, span.start + 2 * i, found.word, found.corrected, found.bit, found.correctable});
  }
}

}  // namespace

std::string BufferSizeError::message() const {
  std::string text = "a buffer of " + std::to_string(size) + " bytes ";
  switch (kind) {
    case Kind::TooShort: text += "is shorter than the 2-byte event footer"; break;
    case Kind::LastBlockShort: text += "ends inside the channel areas of its last chip block"; break;
    case Kind::TooManyBlocks: text += "holds more than six chip blocks"; break;
  }
  return text +
         "; accepted sizes are 131140 * k + 2 bytes for k = 0 to 6 chip blocks of 131140 bytes "
         "(from 131140 * k - 5 bytes on, every channel area of the k blocks is present)";
}

std::expected<std::size_t, BufferSizeError> channel_count(std::uint64_t size) {
  using Kind = BufferSizeError::Kind;
  if (size < FOOTER_BYTES) return std::unexpected(BufferSizeError{Kind::TooShort, size});
  const std::uint64_t blocks = (size - FOOTER_BYTES + BLOCK_BYTES - 1) / BLOCK_BYTES;
  if (blocks > MAX_BLOCKS) return std::unexpected(BufferSizeError{Kind::TooManyBlocks, size});
  if (blocks > 0 && size < CHANNEL_OFFSETS[blocks * CHANNELS_PER_BLOCK - 1].end) {
    return std::unexpected(BufferSizeError{Kind::LastBlockShort, size});
  }
  return blocks * CHANNELS_PER_BLOCK;
}

std::expected<std::vector<WordError>, BufferSizeError> _ecc_check(std::span<const std::uint8_t> buffer,
                                                                  std::size_t max_threads) {
  const auto channels = channel_count(buffer.size());
  if (!channels) return std::unexpected(channels.error());
  std::vector<std::vector<WordError>> found(*channels);
  auto body = [&](std::size_t c) { check_channel(buffer, CHANNEL_OFFSETS[c], found[c]); };
  parallel_for(*channels, body, max_threads);

  std::size_t total = 0;
  for (const auto& list : found) total += list.size();
  if (total == 0) return {};
  std::vector<WordError> joined;
  joined.reserve(total);
  for (const auto& list : found) joined.insert(joined.end(), list.begin(), list.end());
  return joined;
}

void apply_corrections(std::span<std::uint8_t> buffer, const std::vector<WordError>& errors) {
  for (const WordError& e : errors) {
    if (e.correctable == 0 || e.position + 1 >= buffer.size()) continue;
    buffer[e.position] = static_cast<std::uint8_t>(e.corrected & 0xFF);
    buffer[e.position + 1] = static_cast<std::uint8_t>(e.corrected >> 8);
  }
}

}  // namespace tavroacq::ecc
