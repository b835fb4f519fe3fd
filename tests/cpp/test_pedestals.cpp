#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <bit>
#include <cstdio>
#include <fstream>
#include <string>

#include "calibration/pedestals.h"
#include "calibration_support.h"
#include "data/pickle_fixtures.h"

namespace tavroacq {
namespace {

using Stage = PedestalsError::Stage;
using testing::bytes_of;
using testing::ByteVec;
using testing::gzip_member;

std::span<const std::uint8_t> span_of(std::string_view s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

std::vector<std::vector<std::vector<std::uint32_t>>> bits_of(const Pedestals& p) {
  std::vector<std::vector<std::vector<std::uint32_t>>> out;
  for (const auto& channel : p.data) {
    auto& c = out.emplace_back();
    for (const auto& window : channel) {
      auto& w = c.emplace_back();
      for (const float x : window) w.push_back(std::bit_cast<std::uint32_t>(x));
    }
  }
  return out;
}

std::string outcome(const std::expected<Pedestals, PedestalsError>& p) {
  if (p) return "table";
  switch (p.error().stage) {
    case Stage::Gzip: return "gzip " + std::to_string(static_cast<int>(p.error().gzip));
    case Stage::Pickle: return "pickle " + std::to_string(static_cast<int>(p.error().pickle));
    case Stage::Shape: return "shape";
    case Stage::NoPedestals: return "no pedestals";
    case Stage::TooLarge: return "too large";
  }
  return "?";
}
std::string gzip_error(GzipError e) { return "gzip " + std::to_string(static_cast<int>(e)); }
std::string pickle_error(pickle::Error e) { return "pickle " + std::to_string(static_cast<int>(e)); }

TEST(PedestalsFromBytes, BlobsWrittenByPython) {
  using fixtures::Outcome;
  for (const auto& fx : fixtures::pickle_fixtures()) {
    const std::string row = std::string(fx.name) + " protocol " + std::to_string(fx.protocol);
    const auto loaded = Pedestals::from_bytes(span_of(fx.gzip));
    switch (fx.outcome) {
      case Outcome::Table:
        ASSERT_TRUE(loaded) << row << ": " << outcome(loaded);
        if (std::string_view(fx.name) == "batches") {
          // Two windows of 1001 offsets, 0 to 1000 in order: a list and a set, past one batch.
          ASSERT_EQ(loaded->data.size(), 1u) << row;
          ASSERT_EQ(loaded->data[0].size(), 2u) << row;
          for (const auto& window : loaded->data[0]) {
            ASSERT_EQ(window.size(), 1001u) << row;
            for (std::size_t k = 0; k < window.size(); ++k) ASSERT_EQ(window[k], static_cast<float>(k)) << row;
          }
        } else {
          EXPECT_EQ(bits_of(*loaded), fx.table) << row;
        }
        break;
      case Outcome::None: EXPECT_EQ(outcome(loaded), "no pedestals") << row; break;
      case Outcome::Shape: EXPECT_EQ(outcome(loaded), "shape") << row; break;
      case Outcome::Reference: EXPECT_EQ(outcome(loaded), pickle_error(pickle::Error::Reference)) << row; break;
    }
  }
}

const fixtures::PickleFixture& fixture(std::string_view name, int protocol) {
  for (const auto& fx : fixtures::pickle_fixtures())
    if (fx.name == name && fx.protocol == protocol) return fx;
  throw std::runtime_error("no fixture " + std::string(name));
}

ByteVec concat(ByteVec a, const ByteVec& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

const std::vector<std::vector<std::vector<std::uint32_t>>> ONE_TWO_THREE_FOUR = {
    {{0x3f800000u, 0x40000000u}, {0x40400000u, 0x40800000u}}};

TEST(PedestalsFromBytes, GzipLayer) {
  // Python's gzip of {"data": [[[1.0, 2.0], [3.0, 4.0]]], "gain": 7} at protocol 4.
  const ByteVec good = bytes_of(fixture("dict_text_key", 4).gzip);
  const ByteVec raw = testing::gunzip(fixture("dict_text_key", 4).gzip);
  auto with = [&](std::size_t at, std::uint8_t x) {
    ByteVec b = good;
    b[at] ^= x;
    return b;
  };
  // Header fields: text, header CRC, extra, name and comment flags, each field filled.
  ByteVec header = {0x1f, 0x8b, 8, 0x1f, 0, 0, 0, 0, 0, 3, 4, 0, 'a', 'b', 0, 0};
  for (const char c : std::string_view("table.pkl")) header.push_back(static_cast<std::uint8_t>(c));
  header.push_back(0);
  for (const char c : std::string_view("calibration")) header.push_back(static_cast<std::uint8_t>(c));
  header.push_back(0);
  const auto header_crc = static_cast<std::uint16_t>(crc32(0, header.data(), static_cast<uInt>(header.size())));
  ByteVec bad_crc_header = header;
  header.push_back(static_cast<std::uint8_t>(header_crc)), header.push_back(static_cast<std::uint8_t>(header_crc >> 8));
  bad_crc_header.push_back(static_cast<std::uint8_t>(~header_crc)), bad_crc_header.push_back(0);
  ByteVec zlib_wrapped(compressBound(static_cast<uLong>(raw.size())));
  uLongf zlib_size = static_cast<uLongf>(zlib_wrapped.size());
  ASSERT_EQ(compress2(zlib_wrapped.data(), &zlib_size, raw.data(), static_cast<uLong>(raw.size()), 9), Z_OK);
  zlib_wrapped.resize(zlib_size);

  const std::pair<const char*, ByteVec> table_cases[] = {
      {"as Python wrote it", good},
      {"garbage after the member", concat(good, bytes_of("garbage"))},
      {"a second member after the first", concat(good, gzip_member("N."))},
      {"header with every optional field", gzip_member(raw, 1, header)},
  };
  for (const auto& [name, blob] : table_cases) {
    const auto loaded = Pedestals::from_bytes(blob);
    ASSERT_TRUE(loaded) << name << ": " << outcome(loaded);
    EXPECT_EQ(bits_of(*loaded), ONE_TWO_THREE_FOUR) << name;
  }

  const std::pair<const char*, ByteVec> failing[] = {
      {"CRC-32 changed", with(good.size() - 8, 0x01)},
      {"length changed", with(good.size() - 4, 0x01)},
      {"wrong header CRC", gzip_member(raw, 1, bad_crc_header)},
      {"reserved flag set", with(3, 0x80)},
      {"method other than deflate", with(2, 0x01)},
      {"not gzip: the bare pickle", raw},
      {"zlib wrapper instead of gzip", zlib_wrapped},
  };
  for (const auto& [name, blob] : failing)
    EXPECT_EQ(outcome(Pedestals::from_bytes(blob)), gzip_error(GzipError::Corrupt)) << name;

  const std::pair<const char*, ByteVec> cut[] = {
      {"empty blob", {}},
      {"header only", ByteVec(good.begin(), good.begin() + 10)},
      {"cut in the middle", ByteVec(good.begin(), good.begin() + static_cast<long>(good.size() / 2))},
      {"last trailer byte missing", ByteVec(good.begin(), good.end() - 1)},
  };
  for (const auto& [name, blob] : cut)
    EXPECT_EQ(outcome(Pedestals::from_bytes(blob)), gzip_error(GzipError::Truncated)) << name;
}

TEST(PedestalsFromBytes, PickleLayer) {
  const ByteVec raw = testing::gunzip(fixture("dict_text_key", 4).gzip);
  constexpr std::size_t N = 100'000;
  const std::string deep = "]" + std::string(N, ']') + std::string(N, 'a') + ".";  // [[[[…]]]]
  const std::string million_digits = "]]]L" + std::string(1'000'000, '7') + "L\naaa.";
  std::string million_bytes = "\x8b";
  million_bytes += std::string("\x40\x42\x0f\x00", 4) + std::string(1'000'000, '\x01');
  struct Case {
    const char* name;
    ByteVec payload;  // gzip-compressed by the test
    std::string expected;
  };
  const Case cases[] = {
      {"one byte after STOP", concat(raw, bytes_of("N")), pickle_error(pickle::Error::Trailing)},
      {"a zero byte after STOP", concat(raw, ByteVec{0}), pickle_error(pickle::Error::Trailing)},
      {"cut before STOP", ByteVec(raw.begin(), raw.end() - 1), pickle_error(pickle::Error::Truncated)},
      {"None at protocol 2", bytes_of("\x80\x02N."), "no pedestals"},
      {"\"data\" spelled with an escape", bytes_of("(dV\\u0064ata\n]]]F1.5\naaas."), "table"},
      {"a table nested 100000 deep", bytes_of(deep), "shape"},
      {"a million-digit integer offset", bytes_of(million_digits), pickle_error(pickle::Error::Malformed)},
      {"a million-byte integer offset", bytes_of("]]]" + million_bytes + "aaa."), "shape"},
      {"a million-byte integer under another key",
       bytes_of("}(Vx\n" + million_bytes + "Vdata\n]u."), "table"},
  };
  for (const Case& c : cases) EXPECT_EQ(outcome(Pedestals::from_bytes(gzip_member(c.payload))), c.expected) << c.name;
}

// Memo references let a few bytes describe a table of any size: one window of 1024 offsets,
// referenced `count` times in one channel.
ByteVec shared_window_table(std::size_t count) {
  std::string s = "\x80\x04]]]](";
  for (int k = 0; k < 1024; ++k) s += std::string("G\x3f\xf0\0\0\0\0\0\0", 9);
  s += "eq";
  s += std::string(1, '\0');
  s += "a(";
  for (std::size_t k = 1; k < count; ++k) s += std::string("h\0", 2);
  s += "eaa.";
  return gzip_member(s);
}

TEST(PedestalsFromBytes, TableSizeIsCapped) {
  const auto small = Pedestals::from_bytes(shared_window_table(100));
  ASSERT_TRUE(small) << outcome(small);
  ASSERT_EQ(small->data.size(), 1u);
  EXPECT_EQ(small->data[0].size(), 100u);
  EXPECT_EQ(small->data[0][99], std::vector<float>(1024, 1.0f));
  // 20000 references: 80 MiB of offsets, over the 64 MiB cap.
  EXPECT_EQ(outcome(Pedestals::from_bytes(shared_window_table(20'000))), "too large");
  PedestalsLimits tight;
  tight.max_table_bytes = 100 * 1024 * 4;
  EXPECT_EQ(outcome(Pedestals::from_bytes(shared_window_table(101), tight)), "too large");
}

// A gzip member whose pickle declares a bytes object of 2^40 bytes and then streams zeros: the
// reader keeps nothing, so only the output cap can stop it. The trailer is never reached.
ByteVec gzip_bomb(std::uint64_t inflated) {
  const ByteVec prefix = bytes_of(std::string_view("\x80\x05\x8e\x00\x00\x00\x00\x00\x01\x00\x00", 11));
  ByteVec blob = {0x1f, 0x8b, 8, 0, 0, 0, 0, 0, 0, 3};
  const ByteVec body = testing::deflate_bomb(prefix, 0, inflated);
  blob.insert(blob.end(), body.begin(), body.end());
  blob.resize(blob.size() + 8);
  return blob;
}

#if !defined(__SANITIZE_ADDRESS__)
std::uint64_t address_space_bytes() {
  std::ifstream statm("/proc/self/statm");
  std::uint64_t pages = 0;
  statm >> pages;
  return pages * static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE));
}
#endif

TEST(PedestalsFromBytes, GzipBombIsCutAtTheOutputCap) {
  const ByteVec bomb = gzip_bomb(std::uint64_t{600} << 20);  // 600 MiB from about 4 MB
  PedestalsLimits small;
  small.max_stream_bytes = 1u << 20;
  EXPECT_EQ(outcome(Pedestals::from_bytes(bomb, small)), gzip_error(GzipError::TooLarge));
  // The default cap, in a child whose address space may grow by 64 MiB at most: refused with
  // TooLarge (so it did inflate past 512 MiB) without running out of memory.
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
#if !defined(__SANITIZE_ADDRESS__)  // the address sanitizer reserves terabytes up front
    const rlim_t limit = address_space_bytes() + (rlim_t{64} << 20);
    const rlimit rl{limit, limit};
    if (setrlimit(RLIMIT_AS, &rl) != 0) _exit(2);
#endif
    const auto loaded = Pedestals::from_bytes(bomb);
    _exit(outcome(loaded) == gzip_error(GzipError::TooLarge) ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
}

}  // namespace
}  // namespace tavroacq
