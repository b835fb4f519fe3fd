#include <gtest/gtest.h>

#include "acquisition/fetcher.h"
#include "test_support.h"

namespace tavroacq {
namespace {

using testing::Bytes;

// One walk, many fetches, in any order: each gives what a lone get gives.
TEST(EventFetcher, AgreesWithGet) {
  testing::TempDir tmp;
  testing::write_file(tmp.path() / "metadata.yml", "");
  testing::write_chunk(tmp.path(), 0, {Bytes{1}, Bytes{2, 2}, Bytes{}});
  testing::write_chunk(tmp.path(), 1, {});
  testing::write_chunk(tmp.path(), 2, {Bytes{3}, Bytes{4, 4, 4}});
  testing::write_chunk(tmp.path(), 4, {Bytes{9}});  // beyond the missing chunk 3: unreachable
  // A record of chunk 2 pointing past its data file.
  testing::write_file(tmp.path() / "2.idx", testing::index_bytes({{0, 1}, {1, 3}, {3, 9}}));
  auto acq = Acquisition::open(tmp.path());
  ASSERT_TRUE(acq);
  auto fetcher = EventFetcher::walk(*acq);
  ASSERT_TRUE(fetcher);
  EXPECT_EQ(fetcher->total(), 6u);
  for (std::uint64_t i : {5u, 0u, 4u, 3u, 1u, 1u, 2u, 6u, 7u, 100u, 3u}) {
    VectorSink sink;
    auto got = fetcher->fetch(i, sink);
    auto want = acq->get(i);
    ASSERT_EQ(got.has_value(), want.has_value()) << i;
    if (want) {
      EXPECT_EQ(sink.bytes, *want) << i;
    } else {
      EXPECT_EQ(got.error().kind, want.error().kind) << i;
    }
  }
}

}  // namespace
}  // namespace tavroacq
