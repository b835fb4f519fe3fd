// Streaming decompression of one gzip member (RFC 1952) through zlib: the trailer's CRC-32 and
// length are verified, bytes after the member are never looked at, and the output is capped.
#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>

namespace tavroacq {

enum class GzipError : std::uint8_t {
  Corrupt,    // bad header, bad deflate data, CRC-32 or length mismatch
  Truncated,  // the input ends before the member does
  TooLarge,   // the member decompresses to more than the cap
};

class GzipMember {
 public:
  // Reads `blob`, which must outlive this object; at most `max_output` bytes are ever produced.
  GzipMember(std::span<const std::uint8_t> blob, std::uint64_t max_output);
  ~GzipMember();
  GzipMember(const GzipMember&) = delete;
  GzipMember& operator=(const GzipMember&) = delete;

  // The next piece of output, valid until the next call; empty once the member has ended and
  // its trailer has been checked. After an error every call returns that error again.
  std::expected<std::span<const std::uint8_t>, GzipError> next();

  std::uint64_t total_out() const { return total_out_; }

 private:
  struct State;
  std::unique_ptr<State> state_;
  std::uint64_t max_output_;
  std::uint64_t total_out_ = 0;
  bool ended_ = false;
  std::optional<GzipError> error_;
};

}  // namespace tavroacq
