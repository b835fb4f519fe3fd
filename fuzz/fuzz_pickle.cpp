// Reads arbitrary bytes as a pickle, handed over in pieces of varying size so that every opcode
// and argument is also cut at piece boundaries; walks the document; then loads the same bytes as a
// pedestals blob (compressed here), which reaches the table extraction with any pickled shape.
#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "calibration/pedestals.h"
#include "calibration/pickle.h"

namespace {

using namespace tavroacq;

// The input in pieces of 1, 2, …, 13 bytes, then again.
class PieceSource : public pickle::ByteSource {
 public:
  explicit PieceSource(std::span<const std::uint8_t> bytes) : rest_(bytes) {}
  std::optional<std::span<const std::uint8_t>> next() override {
    const std::size_t n = std::min(rest_.size(), 1 + count_++ % 13);
    auto piece = rest_.first(n);
    rest_ = rest_.subspan(n);
    return piece;
  }

 private:
  std::span<const std::uint8_t> rest_;
  std::size_t count_ = 0;
};

// Visits every object of the document once (memo sharing makes DAGs and cycles).
void walk(const pickle::Document& doc) {
  std::vector<pickle::Value> todo{doc.root()};
  std::vector<bool> seen;
  volatile float sink = 0;
  while (!todo.empty()) {
    const pickle::Value v = todo.back();
    todo.pop_back();
    switch (v.kind) {
      case pickle::Kind::Int:
      case pickle::Kind::Float: sink = sink + doc.number(v); break;
      case pickle::Kind::Bool: sink = sink + static_cast<float>(doc.boolean(v)); break;
      case pickle::Kind::Text:
      case pickle::Kind::Bytes:
        if (auto t = doc.text(v)) sink = sink + static_cast<float>(t->size());
        break;
      case pickle::Kind::List:
      case pickle::Kind::Tuple:
      case pickle::Kind::Set:
      case pickle::Kind::FrozenSet:
      case pickle::Kind::Dict:
        if (v.bits >= seen.size()) seen.resize(v.bits + 1, false);
        if (seen[v.bits]) break;
        seen[v.bits] = true;
        for (const pickle::Value item : doc.items(v)) todo.push_back(item);
        break;
      default: break;
    }
  }
}

std::vector<std::uint8_t> gzip_of(const std::uint8_t* data, std::size_t size) {
  z_stream zs{};
  if (deflateInit2(&zs, 1, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK) abort();
  std::vector<std::uint8_t> out(deflateBound(&zs, size));
  zs.next_in = const_cast<Bytef*>(data);
  zs.avail_in = static_cast<uInt>(size);
  zs.next_out = out.data();
  zs.avail_out = static_cast<uInt>(out.size());
  if (deflate(&zs, Z_FINISH) != Z_STREAM_END) abort();
  out.resize(zs.total_out);
  deflateEnd(&zs);
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  PieceSource source(std::span<const std::uint8_t>(data, size));
  if (auto doc = pickle::read(source)) walk(*doc);
  const auto blob = gzip_of(data, size);
  (void)Pedestals::from_bytes(blob);
  return 0;
}
