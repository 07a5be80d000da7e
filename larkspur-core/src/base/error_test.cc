#include "larkspur-core/src/base/error.h"

#include <gtest/gtest.h>

#include <cerrno>

#include "larkspur-core/src/base/fault.h"
#include "larkspur-core/src/base/result.h"
#include "larkspur-core/src/base/str_cat.h"

namespace larkspur {
namespace {

TEST(Error, ErrnoRendersSystemTextAndNumber) {
  EXPECT_EQ(Error::from_errno(ENOENT).text(),
            "No such file or directory (os error 2)");
  EXPECT_EQ(Error::from_errno(EISDIR).text(), "Is a directory (os error 21)");
  EXPECT_EQ(Error::from_errno(ENOENT).sys_errno(), ENOENT);
}

TEST(Error, MessageWinsOverErrno) {
  EXPECT_EQ(Error::io("read_exact_at: eof inside buffer").text(),
            "read_exact_at: eof inside buffer");
}

TEST(Error, PrefixKeepsCodeAndRendersText) {
  const Error e = Error::from_errno(EINTR).with_prefix("submit_and_wait: ");
  EXPECT_EQ(e.code(), ErrorCode::kIo);
  EXPECT_EQ(e.text(), "submit_and_wait: Interrupted system call (os error 4)");
}

TEST(Fault, EqualityAssertionText) {
  EXPECT_EQ(assert_eq_fault("what", "1", "2").text(),
            "assertion `left == right` failed: what\n  left: 1\n right: 2");
  EXPECT_EQ(index_fault(3, 7).text(),
            "index out of bounds: the len is 3 but the index is 7");
}

TEST(StrCat, MixesTextAndIntegersAtTheirLimits) {
  EXPECT_EQ(str_cat("a", std::uint64_t{18446744073709551615U}, '/',
                    std::int64_t{-9223372036854775807 - 1}),
            "a18446744073709551615/-9223372036854775808");
}

TEST(Result, CarriesValueOrError) {
  Result<int> good = 5;
  Result<int> bad = Error::invalid_argument("no");
  ASSERT_TRUE(good);
  EXPECT_EQ(*good, 5);
  ASSERT_FALSE(bad);
  EXPECT_EQ(bad.error().code(), ErrorCode::kInvalidArgument);
  Status fine = ok();
  EXPECT_TRUE(fine.has_value());
}

}  // namespace
}  // namespace larkspur
