#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <set>
#include <thread>
#include <random>
#include <stdexcept>
#include <vector>

#include "ecc/buffer_check.h"
#include "ecc/orra96.h"
#include "ecc/worker_pool.h"

namespace tavroacq::ecc {
namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr std::size_t FULL = 786842;
constexpr std::size_t ONE_BLOCK = 131142;

std::vector<WordError> check(const Bytes& buffer, std::size_t max_threads = 0) {
  auto found = _ecc_check(buffer, max_threads);
  if (!found) throw std::runtime_error(found.error().message());
  return *found;
}

// The plain reading of the layout: every sample word of every channel, one at a time.
std::vector<WordError> reference_check(const Bytes& buffer, std::size_t channels) {
  std::vector<WordError> out;
  for (std::size_t c = 0; c < channels; ++c) {
    const auto [start, end] = CHANNEL_OFFSETS[c];
    for (std::uint64_t i = 0; i + 2 <= end - start; i += 2) {
      const auto w = static_cast<std::uint16_t>(buffer[start + i] + 256 * buffer[start + i + 1]);
      if (auto f = check_word(w)) out.push_back({i, start + i, f->word, f->corrected, f->bit, f->correctable});
    }
  }
  return out;
}

TEST(EccBuffer, ChannelOffsets) {
  const std::pair<std::size_t, ChannelSpan> rows[] = {
      {0, {3, 8195}}, {1, {8199, 16391}}, {15, {122943, 131135}}, {16, {131143, 139335}}, {95, {778643, 786835}}};
  for (auto [c, span] : rows) {
    EXPECT_EQ(CHANNEL_OFFSETS[c].start, span.start) << "channel " << c;
    EXPECT_EQ(CHANNEL_OFFSETS[c].end, span.end) << "channel " << c;
  }
}

TEST(EccBuffer, AcceptedAndRefusedSizes) {
  using K = BufferSizeError::Kind;
  struct Row {
    std::uint64_t size;
    std::expected<std::size_t, K> want;
  };
  const Row rows[] = {
      {0, std::unexpected(K::TooShort)},         {1, std::unexpected(K::TooShort)},
      {2, 0},                                    {3, std::unexpected(K::LastBlockShort)},
      {131134, std::unexpected(K::LastBlockShort)}, {131135, 16},
      {131141, 16},                              {131142, 16},
      {131143, std::unexpected(K::LastBlockShort)}, {262275, 32},
      {262282, 32},                              {786834, std::unexpected(K::LastBlockShort)},
      {786835, 96},                              {786842, 96},
      {786843, std::unexpected(K::TooManyBlocks)}, {10'000'000, std::unexpected(K::TooManyBlocks)},
  };
  for (const auto& row : rows) {
    const auto got = channel_count(row.size);
    if (row.want) {
      EXPECT_EQ(got, *row.want) << "size " << row.size;
    } else {
      ASSERT_FALSE(got) << "size " << row.size;
      EXPECT_EQ(got.error().kind, row.want.error()) << "size " << row.size;
      EXPECT_NE(got.error().message().find(std::to_string(row.size) + " bytes"), std::string::npos);
      EXPECT_NE(got.error().message().find("131140 * k + 2"), std::string::npos);
    }
  }
  // A refused buffer is refused as a whole, before anything is read.
  EXPECT_FALSE(_ecc_check(Bytes(131143, 0x01)));
  EXPECT_FALSE(_ecc_check(Bytes(1, 0)));
}

TEST(EccBuffer, WholeBufferCases) {
  struct Row {
    const char* name;
    Bytes buffer;
    std::vector<WordError> want;
  };
  auto with = [](std::size_t size, std::initializer_list<std::pair<std::size_t, std::uint8_t>> bytes) {
    Bytes b(size, 0);
    for (auto [at, v] : bytes) b[at] = v;
    return b;
  };
  const Row rows[] = {
      {"two bytes", Bytes(2, 0xFF), {}},
      {"zero buffer", Bytes(FULL, 0), {}},
      {"bit 0 of channel 0's first word", with(FULL, {{3, 0x01}}), {{0, 3, 1, 0, 0, 1}}},
      {"bit 10 of channel 16's first word", with(FULL, {{131144, 0x04}}), {{0, 131143, 0x0400, 0, 10, 1}}},
      {"last word of channel 95", with(FULL, {{786833, 0x01}}), {{8190, 786833, 1, 0, 0, 1}}},
      {"bit 15 of a word: reported, not changed", with(FULL, {{8200, 0x80}}), {{0, 8199, 0x8000, 0x8000, 0, 1}}},
      {"bytes outside the sample areas",
       with(FULL, {{0, 0xFF}, {1, 0x01}, {2, 0x01}, {8195, 0x01}, {8196, 0x01}, {8197, 0x01}, {8198, 0xFF},
                   {131136, 0x01}, {131137, 0x01}, {131138, 0x01}, {131139, 0x01}, {FULL - 2, 0x01},
                   {FULL - 1, 0x01}}),
       {}},
      {"one block: channels 0 to 15 only", with(ONE_BLOCK, {{131133, 0x01}}), {{8190, 131133, 1, 0, 0, 1}}},
      {"short-footer one-block buffer", with(131135, {{131133, 0x01}}), {{8190, 131133, 1, 0, 0, 1}}},
  };
  for (const auto& row : rows) EXPECT_EQ(check(row.buffer), row.want) << row.name;
}

TEST(EccBuffer, AllWordsInError) {
  for (std::size_t size : {FULL, ONE_BLOCK}) {
    const Bytes buffer(size, 0x01);
    const auto found = check(buffer);
    const std::size_t channels = size == FULL ? 96 : 16;
    ASSERT_EQ(found.size(), channels * 4096) << size;
    for (std::size_t k = 0; k < found.size(); ++k) {
      const auto span = CHANNEL_OFFSETS[k / 4096];
      const WordError want{2 * (k % 4096), span.start + 2 * (k % 4096), 0x0101, 0x0101, 9, 0};
      ASSERT_EQ(found[k], want) << "finding " << k << " of a " << size << "-byte buffer";
    }
    Bytes corrected = buffer;
    apply_corrections(corrected, found);
    EXPECT_EQ(corrected, buffer);
  }
}

// Channels 5 and 2 in error, and random buffers: the same ordered result as the plain reading,
// whatever the number of threads.
TEST(EccBuffer, OrderDoesNotDependOnThreads) {
  Bytes two_channels(FULL, 0);
  for (std::size_t i = 0; i < 4096; i += 7) two_channels[CHANNEL_OFFSETS[5].start + 2 * i] = 0x01;
  for (std::size_t i = 3; i < 4096; i += 5) two_channels[CHANNEL_OFFSETS[2].start + 2 * i + 1] = 0x04;
  std::mt19937 rng(12345);
  Bytes noisy(FULL);
  for (auto& b : noisy) b = static_cast<std::uint8_t>(rng());
  Bytes sparse(ONE_BLOCK, 0);
  for (int k = 0; k < 300; ++k) sparse[rng() % ONE_BLOCK] ^= static_cast<std::uint8_t>(1u << (rng() % 8));

  const std::pair<const char*, const Bytes*> buffers[] = {
      {"channels 5 and 2", &two_channels}, {"random", &noisy}, {"sparse flips", &sparse}};
  for (auto [name, buffer] : buffers) {
    const auto want = reference_check(*buffer, *channel_count(buffer->size()));
    ASSERT_FALSE(want.empty());
    for (std::size_t threads : {1u, 2u, 3u, 7u, 0u}) {
      EXPECT_EQ(check(*buffer, threads), want) << name << " on " << threads << " threads";
    }
  }
  const auto found = check(two_channels);
  EXPECT_EQ(found.front().position, CHANNEL_OFFSETS[2].start + 6);
  EXPECT_EQ(found.back().position, CHANNEL_OFFSETS[5].start + 2 * 4095);
}

TEST(EccBuffer, CorrectionRestoresSingleFlips) {
  std::mt19937 rng(7);
  Bytes clean(FULL, 0);
  // Valid non-zero code words in every channel so that corrections land on real data.
  std::vector<std::uint16_t> valid;
  for (unsigned w = 0; w <= 0xFFFF; ++w) {
    if (!check_word(static_cast<std::uint16_t>(w))) valid.push_back(static_cast<std::uint16_t>(w));
  }
  for (const auto [start, end] : CHANNEL_OFFSETS) {
    for (auto at = start; at < end; at += 2) {
      const auto w = valid[rng() % valid.size()];
      clean[at] = static_cast<std::uint8_t>(w & 0xFF);
      clean[at + 1] = static_cast<std::uint8_t>(w >> 8);
    }
  }
  Bytes damaged = clean;
  for (const auto [start, end] : CHANNEL_OFFSETS) {
    for (auto at = start; at < end; at += 2 * (1 + rng() % 40)) {
      const unsigned bit = rng() % 14;
      damaged[at + bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
    }
  }
  const auto found = check(damaged);
  ASSERT_GT(found.size(), 5000u);
  for (const auto& e : found) ASSERT_EQ(e.correctable, 1) << e.position;
  apply_corrections(damaged, found);
  EXPECT_EQ(damaged, clean);
}

TEST(WorkerPool, EveryIndexOnceAndErrorsPropagate) {
  for (std::size_t count : {1u, 2u, 16u, 96u, 1000u}) {
    for (std::size_t threads : {1u, 2u, 0u}) {
      std::vector<std::atomic<int>> hits(count);
      auto body = [&](std::size_t i) { hits[i].fetch_add(1); };
      parallel_for(count, body, threads);
      for (std::size_t i = 0; i < count; ++i) ASSERT_EQ(hits[i].load(), 1) << i << " of " << count;
    }
  }
  std::atomic<int> ran{0};
  auto failing = [&](std::size_t i) {
    ran.fetch_add(1);
    if (i == 7) throw std::length_error("index 7");
  };
  EXPECT_THROW(parallel_for(50, failing), std::length_error);
  EXPECT_EQ(ran.load(), 50);
  EXPECT_GE(pool_threads(), 1u);
}

// How many threads take part in a loop whose indices each sleep a little (so that every worker
// has time to join).
std::size_t threads_taking_part() {
  std::mutex m;
  std::set<std::thread::id> ids;
  auto body = [&](std::size_t) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    std::lock_guard lock(m);
    ids.insert(std::this_thread::get_id());
  };
  parallel_for(50, body);
  return ids.size();
}

// A child forked after the pool has run checks buffers too (OpenMP's pool would hang here), on a
// pool of its own whose workers exist. The alarm turns a hang into a failure.
TEST(WorkerPool, WorksInAForkedChild) {
  Bytes buffer(FULL, 0);
  buffer[131144] = 0x04;
  ASSERT_EQ(check(buffer).size(), 1u);
  const bool parallel = pool_threads() > 1;
  if (parallel) {
    ASSERT_GT(threads_taking_part(), 1u);
  }
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    alarm(30);
    bool ok = true;
    for (int k = 0; k < 3; ++k) {
      auto found = _ecc_check(buffer);
      ok = ok && found && found->size() == 1 && (*found)[0].position == 131143;
    }
    ok = ok && (!parallel || threads_taking_part() > 1);
    _exit(ok ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status)) << "child ended by signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(check(buffer).size(), 1u);  // the parent's pool still works
}

}  // namespace
}  // namespace tavroacq::ecc
