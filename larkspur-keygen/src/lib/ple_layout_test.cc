#include "larkspur-keygen/src/lib/ple_layout.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <set>

namespace larkspur::keygen {
namespace {

TEST(IsPrime, FollowsTrialDivisionRules) {
  for (std::uint64_t n : {0ULL, 1ULL, 4ULL, 9ULL, 15ULL, 25ULL, 49ULL,
                          20'000'000ULL, 20'000'001ULL}) {
    EXPECT_FALSE(is_prime(n)) << n;
  }
  for (std::uint64_t n :
       {2ULL, 3ULL, 5ULL, 7ULL, 11ULL, 13ULL, 4'999'963ULL, 20'000'003ULL}) {
    EXPECT_TRUE(is_prime(n)) << n;
  }
}

// The square of a prime is caught by the d * d <= n bound, not missed by it.
TEST(IsPrime, RejectsPrimeSquares) {
  EXPECT_FALSE(is_prime(4'463ULL * 4'463ULL));
  EXPECT_FALSE(is_prime(20'000'003ULL * 20'000'003ULL));
}

TEST(PleLayout, SizesAreConsecutivePrimesAboveTwentyMillion) {
  const PleLayout& layout = build_ple_layout();
  std::uint64_t expected = 19'999'999;
  for (std::uint64_t size : layout.table_sizes) {
    do {
      ++expected;
    } while (!is_prime(expected));
    EXPECT_EQ(size, expected);
  }
  const std::set<std::uint64_t> distinct(layout.table_sizes.begin(),
                                         layout.table_sizes.end());
  EXPECT_EQ(distinct.size(), kTableCount);
  EXPECT_EQ(layout.moduli, layout.table_sizes);
}

TEST(PleLayout, TablesTileTheRowSpace) {
  const PleLayout& layout = build_ple_layout();
  std::uint64_t next = 0;
  for (std::size_t t = 0; t < kTableCount; ++t) {
    EXPECT_EQ(layout.table_offsets[t], next) << "table " << t;
    next += layout.table_sizes[t];
  }
  EXPECT_EQ(next, layout.table_rows);
  // 90 rows of padding up to the shard grid.
  EXPECT_EQ(layout.padded_rows - layout.table_rows, 90U);
  EXPECT_EQ(layout.padded_rows % 128, 0U);
  EXPECT_EQ(layout.shards * layout.rows_per_shard, layout.padded_rows);
}

TEST(PleLayout, HashConstants) {
  const PleLayout& layout = build_ple_layout();
  EXPECT_EQ(layout.mult0, 23'703'573'157'769U);
  EXPECT_EQ(layout.mult1, 20'109'073'645'365U);
  EXPECT_EQ(layout.mult2, 8'052'911'324'071U);
  EXPECT_EQ(layout.pad_token, 248'044U);
}

}  // namespace
}  // namespace larkspur::keygen
