// One gzip member inflated piece by piece; zlib parses the header and checks the trailer.
#define ZLIB_CONST
#include "calibration/gzip.h"

#include <zlib.h>

#include <algorithm>
#include <limits>
#include <new>
#include <vector>

#include "error.h"

namespace tavroacq {

namespace {
constexpr std::size_t OUTPUT_PIECE = 64 * 1024;
// zlib counts in 32-bit units; a larger blob is handed over in slices of this size.
constexpr std::size_t INPUT_SLICE = std::numeric_limits<uInt>::max();
}  // namespace

struct GzipMember::State {
  z_stream stream{};
  std::span<const std::uint8_t> rest;  // input not yet handed to zlib
  std::vector<std::uint8_t> out = std::vector<std::uint8_t>(OUTPUT_PIECE);
};

GzipMember::GzipMember(std::span<const std::uint8_t> blob, std::uint64_t max_output)
    : state_(std::make_unique<State>()), max_output_(max_output) {
  state_->rest = blob;
  // 16 + 15: a gzip wrapper only (no zlib or raw streams), with the largest window.
  const int rc = inflateInit2(&state_->stream, 16 + MAX_WBITS);
  if (rc == Z_MEM_ERROR) throw std::bad_alloc();
  if (rc != Z_OK) throw InternalFailure("zlib could not be initialised");
}

GzipMember::~GzipMember() { inflateEnd(&state_->stream); }

std::expected<std::span<const std::uint8_t>, GzipError> GzipMember::next() {
  if (error_) return std::unexpected(*error_);
  if (ended_) return std::span<const std::uint8_t>{};
  auto fail = [this](GzipError e) {
    error_ = e;
    return std::unexpected(e);
  };
  z_stream& zs = state_->stream;
  for (;;) {
    if (zs.avail_in == 0 && !state_->rest.empty()) {
      const std::size_t n = std::min(state_->rest.size(), INPUT_SLICE);
      zs.next_in = state_->rest.data();
      zs.avail_in = static_cast<uInt>(n);
      state_->rest = state_->rest.subspan(n);
    }
    // Room for one byte beyond the cap, so that exceeding it is seen without inflating further.
    const std::uint64_t allowed = max_output_ - std::min(max_output_, total_out_);
    const std::size_t room = static_cast<std::size_t>(std::min<std::uint64_t>(OUTPUT_PIECE, allowed + 1));
    zs.next_out = state_->out.data();
    zs.avail_out = static_cast<uInt>(room);
    const int rc = inflate(&zs, Z_NO_FLUSH);
    const std::size_t produced = room - zs.avail_out;
    total_out_ += produced;
    if (total_out_ > max_output_) return fail(GzipError::TooLarge);
    switch (rc) {
      case Z_STREAM_END:
        ended_ = true;
        return std::span<const std::uint8_t>(state_->out.data(), produced);
      case Z_OK:
        if (produced > 0) return std::span<const std::uint8_t>(state_->out.data(), produced);
        continue;
      case Z_BUF_ERROR:  // no progress possible: the input ran out inside the member
        if (zs.avail_in == 0 && state_->rest.empty()) return fail(GzipError::Truncated);
        throw InternalFailure("zlib made no progress");
      case Z_MEM_ERROR:
        throw std::bad_alloc();
      case Z_DATA_ERROR:
      case Z_NEED_DICT:
        return fail(GzipError::Corrupt);
      default:
        throw InternalFailure("zlib stream state broken");
    }
  }
}

}  // namespace tavroacq
