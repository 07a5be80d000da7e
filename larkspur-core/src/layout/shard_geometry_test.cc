// Row-id arithmetic, the exact row total and shard file naming.
#include "larkspur-core/src/layout/shard_geometry.h"

#include <gtest/gtest.h>

#include <limits>

namespace larkspur {
namespace {

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();

TEST(MultiplyWide, KeepsTheBitsAbove64) {
  EXPECT_EQ(multiply_wide(0, kMax), (WideCount{0, 0}));
  EXPECT_EQ(multiply_wide(128, 2500012), (WideCount{0, 320001536}));
  EXPECT_EQ(multiply_wide(std::uint64_t{1} << 32, std::uint64_t{1} << 32),
            (WideCount{1, 0}));
  // (2^64 - 1)^2 = 2^128 - 2^65 + 1.
  EXPECT_EQ(multiply_wide(kMax, kMax), (WideCount{kMax - 1, 1}));
}

struct LocateCase {
  std::uint64_t rowid, rows_per_shard, width;
  RowLocation expected;
};

class Locate : public ::testing::TestWithParam<LocateCase> {};

TEST_P(Locate, SplitsARowIdIntoShardRowAndOffset) {
  const LocateCase& c = GetParam();
  const RowLocation got =
      ShardGeometry{1, c.rows_per_shard, c.width}.locate(c.rowid);
  EXPECT_EQ(got.shard, c.expected.shard);
  EXPECT_EQ(got.local_row, c.expected.local_row);
  EXPECT_EQ(got.byte_offset, c.expected.byte_offset);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Locate,
    ::testing::Values(LocateCase{0, 10, 64, {0, 0, 0}},
                      LocateCase{9, 10, 64, {0, 9, 576}},
                      LocateCase{10, 10, 64, {1, 0, 0}},
                      LocateCase{
                          2500012 * 127 + 5, 2500012, 256, {127, 5, 1280}},
                      LocateCase{kMax, 1, 8, {kMax, 0, 0}},
                      LocateCase{kMax, kMax, 8, {1, 0, 0}},
                      // The offset wraps modulo 2^64.
                      LocateCase{(std::uint64_t{1} << 62) + 3,
                                 std::uint64_t{1} << 63,
                                 8,
                                 {0, (std::uint64_t{1} << 62) + 3, 24}}));

TEST(ShardFilePath, JoinsWithExactlyOneSlash) {
  EXPECT_EQ(shard_file_path("/data", 0), "/data/shard_0.bin");
  EXPECT_EQ(shard_file_path("/data/", 0), "/data/shard_0.bin");
  EXPECT_EQ(shard_file_path("", 12), "shard_12.bin");
  EXPECT_EQ(badge_file_path("rel/dir", 127), "rel/dir/badge_127.bin");
  EXPECT_EQ(shard_file_path("/", kMax), "/shard_18446744073709551615.bin");
  EXPECT_EQ(join_path("a//", "b"), "a//b");
}

}  // namespace
}  // namespace larkspur
