// Helpers for the calibration tests: byte sources for the pickle reader, and gzip members built
// with zlib (for blobs that Python's gzip would not write: bad trailers, header options, bombs).
#pragma once

#include <zlib.h>

#include <cstdint>
#include <stdexcept>
#include <string_view>
#include <vector>

#include "calibration/gzip.h"
#include "calibration/pickle.h"

namespace tavroacq::testing {

using ByteVec = std::vector<std::uint8_t>;

inline ByteVec bytes_of(std::string_view s) { return ByteVec(s.begin(), s.end()); }

// A byte sequence handed to the reader in pieces of at most `piece` bytes.
class SpanSource : public pickle::ByteSource {
 public:
  explicit SpanSource(std::span<const std::uint8_t> data, std::size_t piece = SIZE_MAX) : data_(data), piece_(piece) {}
  std::optional<std::span<const std::uint8_t>> next() override {
    const std::size_t n = std::min(piece_, data_.size() - pos_);
    const auto out = data_.subspan(pos_, n);
    pos_ += n;
    return out;
  }

 private:
  std::span<const std::uint8_t> data_;
  std::size_t piece_;
  std::size_t pos_ = 0;
};

// `head` once, then `body` over and over: a stream that never ends, held in constant memory.
class RepeatSource : public pickle::ByteSource {
 public:
  RepeatSource(ByteVec head, ByteVec body) : head_(std::move(head)), body_(std::move(body)) {}
  std::optional<std::span<const std::uint8_t>> next() override {
    if (!head_sent_) {
      head_sent_ = true;
      if (!head_.empty()) return std::span<const std::uint8_t>(head_);
    }
    return std::span<const std::uint8_t>(body_);
  }

 private:
  ByteVec head_, body_;
  bool head_sent_ = false;
};

inline std::expected<pickle::Document, pickle::Error> read_bytes(std::string_view s, std::size_t piece = SIZE_MAX) {
  const ByteVec b = bytes_of(s);
  SpanSource src(b, piece);
  return pickle::read(src);
}

// The decompressed content of a gzip blob.
inline ByteVec gunzip(std::string_view blob) {
  GzipMember member(std::span(reinterpret_cast<const std::uint8_t*>(blob.data()), blob.size()), 1u << 30);
  ByteVec out;
  for (;;) {
    auto piece = member.next();
    if (!piece) throw std::runtime_error("bad gzip fixture");
    if (piece->empty()) return out;
    out.insert(out.end(), piece->begin(), piece->end());
  }
}

// Raw deflate of `data`, fed `repeat` times.
inline ByteVec deflate_raw(std::span<const std::uint8_t> data, std::size_t repeat = 1, int level = 9) {
  z_stream zs{};
  if (deflateInit2(&zs, level, Z_DEFLATED, -MAX_WBITS, 9, Z_DEFAULT_STRATEGY) != Z_OK) throw std::runtime_error("deflateInit2");
  ByteVec out;
  std::vector<std::uint8_t> buf(1 << 16);
  for (std::size_t i = 0; i < repeat; ++i) {
    zs.next_in = const_cast<Bytef*>(data.data());
    zs.avail_in = static_cast<uInt>(data.size());
    const int flush = i + 1 == repeat ? Z_FINISH : Z_NO_FLUSH;
    int rc;
    do {
      zs.next_out = buf.data();
      zs.avail_out = static_cast<uInt>(buf.size());
      rc = deflate(&zs, flush);
      out.insert(out.end(), buf.data(), buf.data() + (buf.size() - zs.avail_out));
    } while (zs.avail_out == 0 || (flush == Z_FINISH && rc != Z_STREAM_END));
  }
  deflateEnd(&zs);
  return out;
}

// A raw deflate stream (one fixed-Huffman block) that inflates to `prefix`, then `fill` repeated
// to about `total` bytes: each 258-byte back-reference costs 13 bits, so 600 MiB fit in 4 MB.
inline ByteVec deflate_bomb(std::span<const std::uint8_t> prefix, std::uint8_t fill, std::uint64_t total) {
  ByteVec out;
  std::uint64_t acc = 0;
  int used = 0;
  auto bits = [&](std::uint32_t value, int n) {  // deflate packs bits from the lowest
    acc |= std::uint64_t{value} << used;
    used += n;
    while (used >= 8) {
      out.push_back(static_cast<std::uint8_t>(acc));
      acc >>= 8;
      used -= 8;
    }
  };
  auto code = [&](std::uint32_t c, int n) {  // Huffman codes go most significant bit first
    std::uint32_t reversed = 0;
    for (int i = 0; i < n; ++i) reversed |= ((c >> i) & 1u) << (n - 1 - i);
    bits(reversed, n);
  };
  auto literal = [&](std::uint8_t v) {
    if (v < 144) code(0x30u + v, 8);
    else code(0x190u + (v - 144u), 9);
  };
  bits(1, 1);  // final block
  bits(1, 2);  // fixed Huffman codes
  for (const std::uint8_t b : prefix) literal(b);
  literal(fill);
  for (std::uint64_t n = prefix.size() + 1; n + 258 <= total; n += 258) {
    code(0xC5, 8);  // length 258 (code 285)
    code(0, 5);     // distance 1
  }
  code(0, 7);  // end of block
  if (used > 0) out.push_back(static_cast<std::uint8_t>(acc));
  return out;
}

inline void put_le32(ByteVec& out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

// One gzip member around `payload` (repeated `repeat` times); `header` replaces the default
// 10-byte header (flags and optional fields included).
inline ByteVec gzip_member(std::span<const std::uint8_t> payload, std::size_t repeat = 1,
                           ByteVec header = {0x1f, 0x8b, 8, 0, 0, 0, 0, 0, 0, 3}) {
  ByteVec out = std::move(header);
  const ByteVec body = deflate_raw(payload, repeat, repeat > 1 ? 1 : 9);
  out.insert(out.end(), body.begin(), body.end());
  uLong crc = crc32(0, nullptr, 0);
  for (std::size_t i = 0; i < repeat; ++i) crc = crc32(crc, payload.data(), static_cast<uInt>(payload.size()));
  put_le32(out, static_cast<std::uint32_t>(crc));
  put_le32(out, static_cast<std::uint32_t>(payload.size() * repeat));
  return out;
}
inline ByteVec gzip_member(std::string_view payload) {
  const ByteVec b = bytes_of(payload);
  return gzip_member(b);
}

}  // namespace tavroacq::testing
