#include <gtest/gtest.h>
#include <unistd.h>

#include <optional>

#include "acquisition.h"
#include "acquisition/util.h"
#include "test_support.h"

namespace tavroacq {
namespace {

using testing::Bytes;
using testing::index_bytes;
using testing::TempDir;
using testing::write_chunk;
using testing::write_file;
namespace fs = std::filesystem;

Acquisition open_ok(const fs::path& p) {
  auto acq = Acquisition::open(p);
  if (!acq) throw std::runtime_error("open failed: " + p.string());
  return *acq;
}

Bytes ev(std::uint8_t tag, std::size_t len) { return Bytes(len, tag); }

TEST(IsAcquisition, Cases) {
  TempDir tmp;
  const fs::path root = tmp.path();
  fs::create_directory(root / "good");
  write_file(root / "good" / "metadata.yml", "");
  fs::create_directory(root / "no_meta");
  write_file(root / "file", "x");
  fs::create_directory(root / "dangling");
  fs::create_symlink(root / "nowhere", root / "dangling" / "metadata.yml");
  fs::create_directory(root / "meta_dir");
  fs::create_directory(root / "meta_dir" / "metadata.yml");
  fs::create_directory_symlink(root / "good", root / "link_to_good");

  const std::pair<const char*, bool> cases[] = {
      {"good", true},     {"no_meta", false},   {"file", false},       {"missing", false},
      {"dangling", false}, {"meta_dir", true}, {"link_to_good", true},
  };
  for (auto [name, expected] : cases) {
    EXPECT_EQ(is_acquisition(root / name), expected) << name;
    EXPECT_EQ(Acquisition::open(root / name).has_value(), expected) << name;
  }
  auto bad = Acquisition::open(root / "missing");
  ASSERT_FALSE(bad);
  EXPECT_EQ(bad.error(), AcquisitionError::Kind::InvalidPath);
}

TEST(ListAcquisitions, KeepsOnlyAcquisitions) {
  TempDir tmp;
  fs::create_directory(tmp.path() / "acq");
  write_file(tmp.path() / "acq" / "metadata.yml", "");
  fs::create_directory(tmp.path() / "other");
  write_file(tmp.path() / "plain", "x");
  auto found = list_acquisitions(tmp.path());
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].path(), tmp.path() / "acq");
  EXPECT_TRUE(list_acquisitions(tmp.path() / "missing").empty());
  EXPECT_TRUE(list_acquisitions(tmp.path() / "plain").empty());
  EXPECT_TRUE(list_acquisitions(tmp.path() / "acq").empty());  // root itself is never a candidate
}

TEST(AcquisitionName, Cases) {
  TempDir tmp;
  fs::create_directories(tmp.path() / "runs" / "a1");
  write_file(tmp.path() / "runs" / "a1" / "metadata.yml", "");
  write_file(tmp.path() / "metadata.yml", "");
  write_file(tmp.path() / "runs" / "metadata.yml", "");
  const std::string base = tmp.path().string();
  const std::pair<std::string, std::optional<std::string>> cases[] = {
      {base + "/runs/a1", "a1"},
      {base + "/runs/a1/", "a1"},
      {base + "/runs/a1/.", "a1"},
      {base + "//runs//a1//", "a1"},
      {base + "/runs/a1/..", std::nullopt},
  };
  for (const auto& [path, expected] : cases) {
    auto acq = Acquisition::open(path);
    ASSERT_TRUE(acq) << path;
    if (expected) {
      EXPECT_EQ(acq->name(), *expected) << path;
    } else {
      try {
        (void)acq->name();
        ADD_FAILURE() << path << " should fail";
      } catch (const InternalFailure& e) {
        EXPECT_STREQ(e.what(), "could not get acquisition name") << path;
      }
    }
  }
  // "." relative to the current directory.
  const fs::path cwd = fs::current_path();
  fs::current_path(tmp.path() / "runs");
  auto dot = Acquisition::open(".");
  auto rel = Acquisition::open("a1/");
  fs::current_path(cwd);
  ASSERT_TRUE(dot && rel);
  EXPECT_THROW((void)dot->name(), InternalFailure);
  EXPECT_EQ(rel->name(), "a1");
}

TEST(AcquisitionName, NotUtf8) {
  TempDir tmp;
  const fs::path dir = tmp.path() / std::string("bad\xff");
  fs::create_directory(dir);
  write_file(dir / "metadata.yml", "");
  try {
    (void)open_ok(dir).name();
    ADD_FAILURE() << "should fail";
  } catch (const InternalFailure& e) {
    EXPECT_STREQ(e.what(), "invalid acquisition name");
  }
}

// One acquisition layout per row: chunk files written (or left out), then the expected walk.
struct WalkCase {
  const char* name;
  // Per chunk number: events (nullopt: write no chunk), plus per-chunk tweaks below.
  std::vector<std::optional<std::vector<Bytes>>> chunks;
  std::vector<std::pair<unsigned, std::string>> raw_index;  // chunk → index file bytes override
  std::vector<unsigned> missing_index;                      // chunks whose index file is absent
  std::uint64_t chunk_count;
  std::uint64_t len;
  // Expected get(i) results in order: the event's first byte (tag), or nullopt for IndexOutOfBounds.
  std::vector<std::optional<std::uint8_t>> gets;
};

TEST(ChunkWalk, Cases) {
  const std::vector<WalkCase> cases = {
      {"only metadata", {}, {}, {}, 0, 0, {std::nullopt}},
      {"one chunk", {std::vector<Bytes>{ev(1, 3), ev(2, 4)}}, {}, {}, 1, 2, {1, 2, std::nullopt}},
      {"sizes 3, 0, 2",
       {std::vector<Bytes>{ev(1, 1), ev(2, 1), ev(3, 1)}, std::vector<Bytes>{}, std::vector<Bytes>{ev(4, 2), ev(5, 2)}},
       {}, {}, 3, 5, {1, 2, 3, 4, 5, std::nullopt}},
      {"gap at chunk 2",
       {std::vector<Bytes>{ev(1, 1)}, std::vector<Bytes>{ev(2, 1)}, std::nullopt, std::vector<Bytes>{ev(3, 1)}},
       {}, {}, 2, 2, {1, 2, std::nullopt}},
      {"chunk 0 without index", {std::vector<Bytes>{ev(1, 1)}, std::vector<Bytes>{ev(2, 1)}}, {}, {0}, 0, 0,
       {std::nullopt}},
      {"partial record counts for nothing (7 bytes)", {std::vector<Bytes>{ev(1, 1)}}, {{0, std::string(7, '\0')}},
       {}, 1, 0, {std::nullopt}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir tmp;
    write_file(tmp.path() / "metadata.yml", "");
    for (unsigned n = 0; n < c.chunks.size(); ++n) {
      if (c.chunks[n]) write_chunk(tmp.path(), n, *c.chunks[n]);
    }
    for (const auto& [n, bytes] : c.raw_index) write_file(tmp.path() / (std::to_string(n) + ".idx"), bytes);
    for (unsigned n : c.missing_index) fs::remove(tmp.path() / (std::to_string(n) + ".idx"));
    const Acquisition acq = open_ok(tmp.path());
    EXPECT_EQ(acq.chunk_count(), c.chunk_count);
    ASSERT_EQ(acq.len().value(), c.len);
    auto counts = acq.chunk_event_counts().value();
    EventLocator locator(counts);
    EXPECT_EQ(locator.total(), c.len);
    for (std::size_t i = 0; i < c.gets.size(); ++i) {
      auto got = acq.get(i);
      auto pos = locator.locate(i);
      if (c.gets[i]) {
        ASSERT_TRUE(got) << "event " << i;
        ASSERT_FALSE(got->empty());
        EXPECT_EQ((*got)[0], *c.gets[i]) << "event " << i;
        ASSERT_TRUE(pos);
        VectorSink sink;
        ASSERT_TRUE(acq.get_in_chunk(pos->chunk, pos->index, sink));
        EXPECT_EQ(sink.bytes, *got);
      } else {
        ASSERT_FALSE(got) << "event " << i;
        EXPECT_EQ(got.error(), AcquisitionError::Kind::IndexOutOfBounds);
        EXPECT_FALSE(pos);
      }
    }
  }
}

// Index records against a fixed data file: each row is one index file and the expected gets.
struct RecordCase {
  const char* name;
  std::string index;  // raw index file bytes
  std::vector<std::optional<Bytes>> gets;  // nullopt: IndexOutOfBounds
};

std::string idx(const std::vector<std::pair<std::uint32_t, std::uint32_t>>& records) {
  Bytes b = index_bytes(records);
  return std::string(b.begin(), b.end());
}

Bytes range(std::uint8_t from, std::uint8_t to) {
  Bytes out;
  for (unsigned v = from; v < to; ++v) out.push_back(static_cast<std::uint8_t>(v));
  return out;
}

TEST(ReadChunkFile, RecordCases) {
  const Bytes data = range(0, 16);
  const std::vector<RecordCase> cases = {
      {"two events, then past the end", idx({{0, 10}, {10, 6}}), {range(0, 10), range(10, 16), std::nullopt}},
      {"ends exactly at the data end / one byte past", idx({{12, 4}, {12, 5}}), {range(12, 16), std::nullopt}},
      {"zero length anywhere up to the end", idx({{5, 0}, {16, 0}, {17, 0}}), {Bytes{}, Bytes{}, std::nullopt}},
      {"15-byte index: one whole record", idx({{1, 2}}) + std::string(7, '\x01'), {range(1, 3), std::nullopt}},
      {"overlapping and repeated", idx({{0, 8}, {4, 8}, {0, 8}}), {range(0, 8), range(4, 12), range(0, 8)}},
      {"record bytes 10 00 00 00 04 00 00 00", std::string("\x0c\0\0\0\x04\0\0\0", 8), {range(12, 16)}},
      {"huge length does not overflow", idx({{0xFFFFFFFF, 0xFFFFFFFF}}), {std::nullopt}},
      {"empty index", "", {std::nullopt}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir tmp;
    write_file(tmp.path() / "metadata.yml", "");
    write_file(tmp.path() / "0.bin", data);
    write_file(tmp.path() / "0.idx", c.index);
    const Acquisition acq = open_ok(tmp.path());
    auto chunk = ReadChunkFile::open_with_index(acq, 0);
    ASSERT_TRUE(chunk);
    for (std::size_t i = 0; i < c.gets.size(); ++i) {
      auto got = chunk->get(i);
      if (c.gets[i]) {
        ASSERT_TRUE(got) << "index " << i;
        EXPECT_EQ(*got, *c.gets[i]) << "index " << i;
      } else {
        ASSERT_FALSE(got) << "index " << i;
        EXPECT_EQ(got.error(), AcquisitionError::Kind::IndexOutOfBounds) << "index " << i;
      }
    }
    EXPECT_FALSE(chunk->get(~std::uint64_t{0}));  // 8 * index would overflow
  }
}

TEST(ReadChunkFile, SeesTheFilesAsTheyAreAtEachCall) {
  TempDir tmp;
  write_file(tmp.path() / "metadata.yml", "");
  write_chunk(tmp.path(), 0, {ev(7, 100)});
  const Acquisition acq = open_ok(tmp.path());
  auto chunk = ReadChunkFile::open_with_index(acq, 0);
  ASSERT_TRUE(chunk);
  ASSERT_TRUE(chunk->get(0));
  // Another process truncates the data file under an open reader: an error, never a fault.
  ASSERT_EQ(::truncate((tmp.path() / "0.bin").c_str(), 40), 0);
  auto after = chunk->get(0);
  ASSERT_FALSE(after);
  EXPECT_EQ(after.error(), AcquisitionError::Kind::IndexOutOfBounds);
  EXPECT_EQ(acq.get(0).error(), AcquisitionError::Kind::IndexOutOfBounds);
}

TEST(ReadChunkFile, OpenFailures) {
  TempDir tmp;
  write_file(tmp.path() / "metadata.yml", "");
  write_file(tmp.path() / "0.bin", "abc");
  fs::create_directory(tmp.path() / "1.bin");
  write_file(tmp.path() / "1.idx", "");
  const Acquisition acq = open_ok(tmp.path());
  const int before = testing::open_fd_count();
  auto missing_index = ReadChunkFile::open_with_index(acq, 0);
  ASSERT_FALSE(missing_index);
  EXPECT_EQ(missing_index.error(), AcquisitionError::Kind::InvalidPath);
  EXPECT_EQ(testing::open_fd_count(), before);  // the data file was closed again
  EXPECT_FALSE(ReadChunkFile::open_with_index(acq, 2));
}

TEST(Acquisition, DirectoryAsIndexFileFailsLen) {
  TempDir tmp;
  write_file(tmp.path() / "metadata.yml", "");
  write_file(tmp.path() / "0.bin", "abc");
  fs::create_directory(tmp.path() / "0.idx");  // opens read-only, but has no size to map
  const Acquisition acq = open_ok(tmp.path());
  EXPECT_EQ(acq.chunk_count(), 1u);
  EXPECT_EQ(acq.len().error(), AcquisitionError::Kind::InvalidPath);
  EXPECT_EQ(acq.get(0).error(), AcquisitionError::Kind::InvalidPath);
}

TEST(Acquisition, NoDescriptorOutlivesACall) {
  TempDir tmp;
  write_file(tmp.path() / "metadata.yml", "");
  write_chunk(tmp.path(), 0, {ev(1, 10), ev(2, 10)});
  write_file(tmp.path() / "1.bin", "short");
  write_file(tmp.path() / "1.idx", index_bytes({{0, 100}}));
  const Acquisition acq = open_ok(tmp.path());
  const int before = testing::open_fd_count();
  for (int i = 0; i < 3000; ++i) {
    ASSERT_TRUE(acq.get(i % 2));
    ASSERT_FALSE(acq.get(2));  // points past the data
    ASSERT_FALSE(acq.get(3));  // beyond the last event
    ASSERT_EQ(acq.len().value(), 3u);
  }
  EXPECT_EQ(testing::open_fd_count(), before);
}

}  // namespace
}  // namespace tavroacq
