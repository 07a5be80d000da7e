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

}  // namespace
}  // namespace larkspur::keygen
