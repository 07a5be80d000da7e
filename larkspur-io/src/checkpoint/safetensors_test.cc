#include "larkspur-io/src/checkpoint/safetensors.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>

#include "larkspur-core/src/base/temp_dir_testing.h"
#include "larkspur-io/src/checkpoint/safetensors_testing.h"

namespace larkspur::io {
namespace {

using namespace std::string_literals;

TEST(SafetensorsDtype, SizesOfWholeByteTypesOnly) {
  // One of each size, and the sub-byte and misspelt ones refused.
  const std::vector<std::pair<std::string, std::optional<std::uint32_t>>>
      cases = {{"F8_E4M3", 1},
               {"BF16", 2},
               {"F32", 4},
               {"C64", 8},
               {"F4", std::nullopt},
               {"F6_E2M3", std::nullopt},
               {"f32", std::nullopt},
               {"F32 ", std::nullopt},
               {"", std::nullopt}};
  for (const auto& [dtype, bytes] : cases) {
    EXPECT_EQ(dtype_bytes(dtype), bytes) << dtype;
  }
}

// A header that must be refused, and a piece of the error text.
struct BadHeader {
  std::string json;
  std::string error;
  // The file's size less the header's: negative when the file ends
  // inside the header.
  std::int64_t data_bytes = 64;
};

class SafetensorsBadHeader : public testing::TestWithParam<BadHeader> {};

TEST_P(SafetensorsBadHeader, IsRefusedNamingTheFault) {
  const BadHeader& c = GetParam();
  const auto header = parse_safetensors_header(
      c.json, 8 + c.json.size() + static_cast<std::uint64_t>(c.data_bytes),
      "f");
  ASSERT_FALSE(header) << c.json;
  EXPECT_EQ(header.error().code(), ErrorCode::kInvalidArgument);
  EXPECT_EQ(header.error().text().rfind("f: ", 0), 0U);
  EXPECT_NE(header.error().text().find(c.error), std::string::npos)
      << header.error().text();
}

// `{"a": {...}}` with the fields given.
std::string one(const std::string& fields) {
  return R"({"a":{)" + fields + "}}";
}
constexpr std::string_view kU8x8 =
    R"("dtype":"U8","shape":[8],"data_offsets":[0,8])";

INSTANTIATE_TEST_SUITE_P(
    Headers, SafetensorsBadHeader,
    testing::Values(
        BadHeader{"", "header is not a JSON object"},
        BadHeader{"[]", "header is not a JSON object"},
        BadHeader{"\"}\"", "header is not a JSON object"},
        BadHeader{"  ", "header is not valid JSON"},
        BadHeader{"\xEF\xBB\xBF{}", "header starts with a byte-order mark"},
        BadHeader{"{} x", "header is not valid JSON (at byte 4)"},
        BadHeader{"{}\n", "header ends in blanks other than spaces"},
        BadHeader{"{}}", "header is not valid JSON"},
        BadHeader{R"({"__metadata__":{},})", "header is not valid JSON"},
        BadHeader{"{\"\xff\":1}", "header is not valid JSON"},
        BadHeader{"{\"a\0\":1}"s, "header holds a NUL byte"},
        BadHeader{one(std::string(kU8x8)), "header ends past the file's end",
                  -1},
        BadHeader{R"({"a":1})", "tensor a: not an object"},
        BadHeader{R"({"a":[]})", "tensor a: not an object"},
        BadHeader{R"({"a\u0000":{}})", "a tensor name holds a NUL character"},
        BadHeader{one(R"("dtype":"U8","data_offsets":[0,0])"),
                  "tensor a: no \"shape\""},
        BadHeader{one(R"("shape":[],"data_offsets":[0,1])"),
                  "tensor a: no \"dtype\""},
        BadHeader{one(R"("dtype":"U8","shape":[])"),
                  "tensor a: no \"data_offsets\""},
        BadHeader{one(std::string(kU8x8) + R"(,"foo":1)"),
                  "tensor a: unexpected field \"foo\""},
        BadHeader{one(std::string(kU8x8) + R"(,"dtype":"U8")"),
                  "tensor a: field \"dtype\" appears twice"},
        BadHeader{R"({"a":{)" + std::string(kU8x8) + R"(},"a":{)" +
                      std::string(kU8x8) + "}}",
                  "tensor a appears twice"},
        BadHeader{one(R"("dtype":"F4","shape":[2],"data_offsets":[0,1])"),
                  "tensor a: dtype \"F4\" is not one rows can be made of"},
        BadHeader{one(R"("dtype":4,"shape":[2],"data_offsets":[0,1])"),
                  "tensor a: \"dtype\" is a number, not a string"},
        BadHeader{one(R"("dtype":"U8","shape":2,"data_offsets":[0,2])"),
                  "tensor a: \"shape\" is a number, not an array"},
        BadHeader{one(R"("dtype":"U8","shape":[-1],"data_offsets":[0,0])"),
                  "tensor a: \"shape\" holds -1, not an unsigned integer"},
        BadHeader{one(R"("dtype":"U8","shape":[2.0],"data_offsets":[0,2])"),
                  "tensor a: \"shape\" holds 2.0, not an unsigned integer"},
        BadHeader{one(R"("dtype":"U8","shape":[18446744073709551616],)"
                      R"("data_offsets":[0,0])"),
                  "\"shape\" holds 18446744073709551616, not an unsigned"},
        BadHeader{one(R"("dtype":"U8","shape":[1e400],"data_offsets":[0,0])"),
                  "header is not valid JSON"},
        BadHeader{one(R"("dtype":"U8","shape":[[2]],"data_offsets":[0,2])"),
                  "tensor a: \"shape\" holds an array, not an unsigned"},
        BadHeader{one(R"("dtype":"U8","shape":[2],"data_offsets":[0,"2"])"),
                  "\"data_offsets\" holds a string, not an unsigned"},
        BadHeader{one(R"("dtype":"U8","shape":[2],"data_offsets":[0,1,2])"),
                  "tensor a: \"data_offsets\" holds more than two numbers"},
        BadHeader{one(R"("dtype":"U8","shape":[2],"data_offsets":[2])"),
                  "tensor a: \"data_offsets\" is not two numbers"},
        BadHeader{one(R"("dtype":"U8","shape":[0],"data_offsets":[3,2])"),
                  "tensor a: data_offsets [3, 2] end before they begin"},
        BadHeader{one(R"("dtype":"F32","shape":[2,3],"data_offsets":[0,20])"),
                  "tensor a: shape [2, 3] of F32 is 24 bytes but data_offsets "
                  "give 20"},
        BadHeader{
            one(R"("dtype":"F32","shape":[],"data_offsets":[0,0])"),
            "tensor a: shape [] of F32 is 4 bytes but data_offsets give 0"},
        BadHeader{one(R"("dtype":"F32","shape":[4294967296,1073741824],)"
                      R"("data_offsets":[0,0])"),
                  "tensor a: shape [4294967296, 1073741824] of F32 is more "
                  "than 2^64 bytes"},
        BadHeader{one(R"("dtype":"U8","shape":[4294967296,4294967296],)"
                      R"("data_offsets":[0,0])"),
                  "is more than 2^64 bytes"},
        BadHeader{one(R"("dtype":"U8","shape":[65],"data_offsets":[0,65])"),
                  "tensor a: data ends past the file's end"},
        BadHeader{one(R"("dtype":"U8","shape":[0],)"
                      R"("data_offsets":[18446744073709551615,)"
                      R"(18446744073709551615])"),
                  "tensor a: data ends past the file's end"},
        BadHeader{
            R"({"a":{)" + std::string(kU8x8) +
                R"(},"b":{"dtype":"U8","shape":[8],"data_offsets":[4,12]}})",
            "tensors a and b overlap"},
        // b lies inside a, after c: the furthest end, not the last, counts.
        BadHeader{R"({"a":{"dtype":"U8","shape":[16],"data_offsets":[0,16]},)"
                  R"("c":{"dtype":"U8","shape":[2],"data_offsets":[2,4]},)"
                  R"("b":{"dtype":"U8","shape":[2],"data_offsets":[8,10]}})",
                  "tensors a and c overlap"},
        BadHeader{R"({"__metadata__":[]})",
                  "\"__metadata__\" is not an object"},
        BadHeader{R"({"__metadata__":{"k":1}})",
                  "the value of \"k\" is not a string"},
        BadHeader{R"({"__metadata__":{"k":{"x":"y"}}})",
                  "the value of \"k\" is not a string"},
        BadHeader{R"({"__metadata__":{"k":"1","k":"2"}})",
                  "\"__metadata__\": key \"k\" appears twice"},
        BadHeader{R"({"__metadata__":{},"__metadata__":{}})",
                  "\"__metadata__\" appears twice"}));

TEST(SafetensorsHeader, ReadsTensorsInDataOrderWithAbsoluteOffsets) {
  // Keys out of data order; a scalar, an empty tensor at the same offset
  // as a full one, metadata, and writers' space padding.
  const std::string json =
      R"({"w":{"dtype":"BF16","shape":[2,3],"data_offsets":[4,16]},)"
      R"("__metadata__":{"format":"pt","":""},)"
      R"("s":{"dtype":"F32","shape":[],"data_offsets":[0,4]},)"
      R"("e":{"dtype":"I64","shape":[5,0],"data_offsets":[4,4]},)"
      R"("\u00e9":{"dtype":"U8","shape":[0],"data_offsets":[16,16]}}     )";
  const auto header = parse_safetensors_header(json, 8 + json.size() + 16, "f");
  ASSERT_TRUE(header) << header.error().text();
  const std::uint64_t start = 8 + json.size();
  EXPECT_EQ(header->data_start, start);
  ASSERT_EQ(header->tensors.size(), 4U);
  const std::vector<std::string> names = {"s", "e", "w", "\xc3\xa9"};
  for (std::size_t k = 0; k < names.size(); ++k) {
    EXPECT_EQ(header->tensors[k].name, names[k]);
  }
  const TensorEntry& w = header->tensors[2];
  EXPECT_EQ(w.dtype, "BF16");
  EXPECT_EQ(w.element_bytes, 2U);
  EXPECT_EQ(w.shape, (std::vector<std::uint64_t>{2, 3}));
  EXPECT_EQ(w.begin, start + 4);
  EXPECT_EQ(w.end, start + 16);
  EXPECT_TRUE(header->tensors[0].shape.empty());
  EXPECT_EQ(header->tensors[1].begin, header->tensors[1].end);
}

TEST(SafetensorsHeader, RandomLayoutsRoundTrip) {
  const std::vector<std::string> dtypes = {"U8",  "F16", "BF16",
                                           "F32", "I64", "F8_E4M3"};
  std::mt19937_64 rng(7);
  for (int round = 0; round < 200; ++round) {
    std::vector<test::TestTensor> tensors(rng() % 6);
    for (std::size_t k = 0; k < tensors.size(); ++k) {
      tensors[k].name = std::string("t").append(std::to_string(k));
      tensors[k].dtype = dtypes[rng() % dtypes.size()];
      tensors[k].shape.resize(rng() % 3);
      for (std::uint64_t& n : tensors[k].shape) n = rng() % 5;
    }
    const std::string file = test::safetensors_file(tensors);
    const std::uint64_t json_size = file.size() - 8 - [&] {
      std::uint64_t bytes = 0;
      for (const auto& t : tensors) {
        std::uint64_t n = *dtype_bytes(t.dtype);
        for (const std::uint64_t d : t.shape) n *= d;
        bytes += n;
      }
      return bytes;
    }();
    const auto header = parse_safetensors_header(
        std::string_view(file).substr(8, json_size), file.size(), "f");
    ASSERT_TRUE(header) << header.error().text();
    EXPECT_EQ(header->data_start % 8, 0U);
    ASSERT_EQ(header->tensors.size(), tensors.size());
    // The writer lays tensors out in order, so data order is theirs, but
    // for empty tensors, which tie with the next one and sort by name.
    for (const TensorEntry& e : header->tensors) {
      const auto& t = tensors[std::stoul(e.name.substr(1))];
      EXPECT_EQ(e.dtype, t.dtype);
      EXPECT_EQ(e.shape, t.shape);
      for (std::uint64_t at = e.begin; at < e.end; ++at) {
        ASSERT_EQ(file[at],
                  static_cast<char>(std::stoul(e.name.substr(1)) + 1));
      }
    }
    EXPECT_TRUE(std::is_sorted(header->tensors.begin(), header->tensors.end(),
                               [](const TensorEntry& a, const TensorEntry& b) {
                                 return a.begin < b.begin;
                               }));
  }
}

// A file that read_safetensors_header must refuse, and its error text.
struct BadFile {
  std::string bytes;
  std::string error;
};

class SafetensorsBadFile : public testing::TestWithParam<BadFile> {};

TEST_P(SafetensorsBadFile, IsRefusedBeforeItsHeaderIsRead) {
  const test::TempFile file(GetParam().bytes);
  const auto header = read_safetensors_header(file.fd(), "m.safetensors");
  ASSERT_FALSE(header);
  EXPECT_EQ(header.error().text(), "m.safetensors: " + GetParam().error);
}

INSTANTIATE_TEST_SUITE_P(
    Files, SafetensorsBadFile,
    testing::Values(
        BadFile{"", "too short for a safetensors header"},
        BadFile{"\x02\0\0\0\0\0\0"s, "too short for a safetensors header"},
        BadFile{"\x01\0\0\0\0\0\x40\0{}"s,
                "header of 18014398509481985 bytes is larger than the "
                "104857600 this reader accepts"},
        BadFile{"\x01\0\x40\x06\0\0\0\0{}"s,
                "header of 104857601 bytes is larger than the 104857600 this "
                "reader accepts"},
        BadFile{"\x03\0\0\0\0\0\0\0{}"s, "header ends past the file's end"},
        BadFile{"\x02\0\0\0\0\0\0\0[]"s, "header is not a JSON object"}));

TEST(SafetensorsFile, ReadsAWrittenFile) {
  const test::TempFile file(
      test::safetensors_file({{"emb", "U8", {4, 16}}, {"norm", "F16", {16}}}));
  const auto header = read_safetensors_header(file.fd(), "m");
  ASSERT_TRUE(header) << header.error().text();
  ASSERT_EQ(header->tensors.size(), 2U);
  EXPECT_EQ(header->tensors[1].begin, header->data_start + 64);
  EXPECT_EQ(header->tensors[1].end, header->data_start + 96);
}

TEST(SafetensorsFile, ReadErrorsAreTheSystemsNamingTheFile) {
  const test::TempDir dir;
  // Some file systems give an empty directory the size 0.
  dir.write("an-entry-with-a-long-name", "");
  const UniqueFd fd(::open(dir.path().c_str(), O_RDONLY | O_CLOEXEC));
  ASSERT_TRUE(fd.valid());
  const auto header = read_safetensors_header(fd.get(), "d");
  ASSERT_FALSE(header);
  EXPECT_EQ(header.error().code(), ErrorCode::kIo);
  EXPECT_EQ(header.error().text().rfind("d: ", 0), 0U) << header.error().text();
}

}  // namespace
}  // namespace larkspur::io
