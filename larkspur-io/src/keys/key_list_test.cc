#include "larkspur-io/src/keys/key_list.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "larkspur-core/src/base/temp_dir_testing.h"

namespace larkspur::io {
namespace {

using Keys = std::vector<std::uint64_t>;

class KeyFileTest : public ::testing::Test {
 protected:
  std::string write(const std::string& contents) {
    return dir_.write("keys.txt", contents);
  }

  test::TempDir dir_;
};

// Lines that straddle the 8192-byte buffer, and a line longer than it.
TEST_F(KeyFileTest, LinesCrossingTheBuffer) {
  std::string contents;
  Keys expected;
  for (std::uint64_t k = 1000000; contents.size() < 3 * 8192; k += 7) {
    contents += std::to_string(k) + "\n";
    expected.push_back(k);
  }
  contents += std::string(10000, ' ') + "99" + std::string(9000, '\t') + "\n1";
  expected.push_back(99);
  expected.push_back(1);
  Result<Keys> keys = parse_key_file(write(contents));
  ASSERT_TRUE(keys) << keys.error().text();
  EXPECT_EQ(*keys, expected);
}

// A descriptor leaked by a failed parse would make this count grow.
TEST_F(KeyFileTest, ClosesTheFileOnEveryPath) {
  auto open_count = [] {
    return std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                         std::filesystem::directory_iterator());
  };
  const auto before = open_count();
  for (const char* contents : {"1\n", "x\n", "\xff\n"}) {
    (void)parse_key_file(write(contents));
  }
  (void)parse_key_file(dir_.path().string());
  EXPECT_EQ(open_count(), before);
}

// The in-memory reader and the file reader agree, failures included.
TEST_F(KeyFileTest, TextAndFileReadersAgree) {
  for (const std::string contents :
       {"", "\n\n", "7\r\n\n +42 \t\n007", "1\r", "1\n\xff\n2\n", "5\n-5\n",
        "\r\n12\n\xc2\xa0", "1\n\n\n18446744073709551616"}) {
    const Result<Keys> from_text = parse_key_text(contents);
    const Result<Keys> from_file = parse_key_file(write(contents));
    ASSERT_EQ(from_text.has_value(), from_file.has_value()) << contents;
    if (from_text) {
      EXPECT_EQ(*from_text, *from_file);
    } else {
      EXPECT_EQ(from_text.error().text(), from_file.error().text());
    }
  }
  EXPECT_EQ(*parse_key_text("7\r\n\n +42 \t\n007"), (Keys{7, 42, 7}));
}

struct KeyCase {
  const char* text;
  const char* outcome;  // the value, or the error text
};

class ParseKeyTest : public ::testing::TestWithParam<KeyCase> {};

TEST_P(ParseKeyTest, ValueOrError) {
  Result<std::uint64_t> key = parse_key(GetParam().text);
  EXPECT_EQ(key ? std::to_string(*key) : key.error().text(),
            GetParam().outcome);
}

constexpr const char* kBad = "invalid digit found in string";
constexpr const char* kBig = "number too large to fit in target type";

INSTANTIATE_TEST_SUITE_P(
    Keys, ParseKeyTest,
    ::testing::Values(
        KeyCase{"0", "0"}, KeyCase{"+0", "0"}, KeyCase{"007", "7"},
        KeyCase{"9999999999999999", "9999999999999999"},  // 16 digits
        KeyCase{"00000000000000000000000000042", "42"},
        KeyCase{"+18446744073709551615", "18446744073709551615"},
        KeyCase{"18446744073709551616", kBig},
        KeyCase{"99999999999999999999", kBig},
        KeyCase{"184467440737095516150", kBig},
        // The non-digit is met where value * 10 overflows: invalid digit.
        KeyCase{"18446744073709551615a", kBad},
        // Overflow found first, before a later non-digit.
        KeyCase{"1844674407370955161500a", kBig}, KeyCase{"+", kBad},
        KeyCase{"-", kBad}, KeyCase{"++1", kBad}, KeyCase{"-1", kBad},
        KeyCase{"1 2", kBad}, KeyCase{"1_000", kBad}, KeyCase{"0x10", kBad},
        KeyCase{"12345678901234567a", kBad}, KeyCase{"1+", kBad},
        KeyCase{"\xd9\xa1", kBad}));  // Arabic-Indic 1

TEST(TrimWhiteSpace, RemovesEveryWhiteSpaceCharacterAtBothEnds) {
  const std::vector<std::string> spaces = {
      "\t",           "\n",           "\v",
      "\f",           "\r",           " ",
      "\xc2\x85",     "\xc2\xa0",     "\xe1\x9a\x80",
      "\xe2\x80\x80", "\xe2\x80\x85", "\xe2\x80\x8a",
      "\xe2\x80\xa8", "\xe2\x80\xa9", "\xe2\x80\xaf",
      "\xe2\x81\x9f", "\xe3\x80\x80"};
  for (const std::string& s : spaces) {
    EXPECT_EQ(trim_white_space(s + s + "12" + s), "12") << s;
    EXPECT_EQ(trim_white_space(s), "") << s;
  }
}

TEST(TrimWhiteSpace, KeepsLookalikes) {
  // Byte-order mark, zero-width space, Mongolian vowel separator, U+2000's
  // neighbours that are not white space.
  for (const std::string s : {"\xef\xbb\xbf", "\xe2\x80\x8b", "\xe1\xa0\x8e",
                              "\xe2\x80\x8c", "\xe2\x81\xa0", "\xe3\x80\x81"}) {
    EXPECT_EQ(trim_white_space(s + "1" + s), s + "1" + s) << s;
  }
  EXPECT_EQ(trim_white_space(" 1 2 "), "1 2");
}

TEST(IsUtf8, AcceptsWellFormedText) {
  for (const std::string s : {"", "abc", "\xc2\x80", "\xdf\xbf", "\xe0\xa0\x80",
                              "\xed\x9f\xbf", "\xee\x80\x80", "\xef\xbf\xbf",
                              "\xf0\x90\x80\x80", "\xf4\x8f\xbf\xbf"}) {
    EXPECT_TRUE(is_utf8(s)) << s;
  }
}

TEST(IsUtf8, RejectsMalformedText) {
  for (const std::string s :
       {"\x80", "\xbf", "\xc0\xaf", "\xc1\xbf", "\xc2", "\xc2\x41",
        "\xe0\x80\x80", "\xe0\x9f\xbf", "\xed\xa0\x80", "\xed\xbf\xbf",
        "\xe2\x82", "\xe2\x28\xa1", "\xf0\x80\x80\x80", "\xf0\x8f\xbf\xbf",
        "\xf4\x90\x80\x80", "\xf5\x80\x80\x80", "\xf0\x90\x80", "\xff",
        "\xf0\x90\x28\x80"}) {
    EXPECT_FALSE(is_utf8(s)) << testing::PrintToString(s);
  }
}

}  // namespace
}  // namespace larkspur::io
