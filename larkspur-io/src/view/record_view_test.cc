#include "larkspur-io/src/view/record_view.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "larkspur-core/src/base/temp_dir_testing.h"

namespace larkspur::io {
namespace {

using Bytes = std::vector<std::byte>;
using Indices = std::vector<std::uint64_t>;

// Byte k of the test file; a record read from the wrong offset or into the
// wrong slot shows.
std::byte pattern(std::uint64_t k) {
  return static_cast<std::byte>((k * 131 + k / 251) & 0xff);
}

Bytes expected(const Indices& indices, std::uint64_t slot) {
  Bytes out;
  for (const std::uint64_t index : indices) {
    for (std::uint64_t b = 0; b < slot; ++b) {
      out.push_back(pattern(index * slot + b));
    }
  }
  return out;
}

class RecordViewTest : public testing::Test {
 protected:
  // A record file of `size` pattern bytes and slot size `slot`.
  std::string make(std::uint64_t size, std::uint64_t slot) {
    std::string content(size, '\0');
    for (std::uint64_t k = 0; k < size; ++k) {
      content[k] = static_cast<char>(pattern(k));
    }
    dir_.write("r.manifest.json",
               "{\"slot_bytes\": " + std::to_string(slot) + "}");
    return dir_.write("r.bin", content);
  }

  larkspur::test::TempDir dir_;
};

struct LayoutCase {
  std::size_t n;
  std::size_t max_jobs;
  JobLayout layout;
};

class JobLayoutTest : public testing::TestWithParam<LayoutCase> {};

TEST_P(JobLayoutTest, SplitsIntoEvenRuns) {
  EXPECT_EQ(job_layout(GetParam().n, GetParam().max_jobs), GetParam().layout);
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, JobLayoutTest,
    testing::Values(LayoutCase{0, 32, {}}, LayoutCase{3, 32, {}},
                    LayoutCase{4, 32, {4, 1}}, LayoutCase{32, 32, {32, 1}},
                    LayoutCase{33, 32, {17, 2}}, LayoutCase{64, 32, {32, 2}},
                    LayoutCase{65, 32, {22, 3}}, LayoutCase{100, 32, {25, 4}},
                    LayoutCase{1000, 32, {32, 32}},
                    LayoutCase{10000, 32, {32, 313}}, LayoutCase{1000, 1, {}},
                    LayoutCase{1000, 0, {}}, LayoutCase{5, 2, {2, 3}}));

// Every route and job count must give what single reads give.
class ReadRecordsTest
    : public RecordViewTest,
      public testing::WithParamInterface<std::tuple<std::size_t, std::size_t>> {
};

TEST_P(ReadRecordsTest, EqualsRecordByRecordReads) {
  const auto [n, max_jobs] = GetParam();
  Result<RecordView> view = open_view(make(48 * 300 + 7, 48));
  ASSERT_TRUE(view);
  ASSERT_EQ(view->count(), 300u);
  std::mt19937_64 rng(n);
  Indices indices(n);
  for (auto& index : indices) index = rng() % 300;
  if (n > 2) indices[1] = indices[0];  // duplicates are read each time
  if (n > 0) indices.back() = 299;

  Bytes out(n * 48 + 5, std::byte{0xee});  // the tail must stay untouched
  Status s = read_records(*view, indices, out, max_jobs);
  ASSERT_TRUE(s) << s.error().text();
  Bytes single;
  for (const std::uint64_t index : indices) {
    Bytes record(48);
    ASSERT_TRUE(read_record(*view, index, record));
    single.insert(single.end(), record.begin(), record.end());
  }
  single.insert(single.end(), 5, std::byte{0xee});
  EXPECT_EQ(out, single);
  EXPECT_EQ(Bytes(out.begin(), out.end() - 5), expected(indices, 48));
}

INSTANTIATE_TEST_SUITE_P(Counts, ReadRecordsTest,
                         testing::Combine(testing::Values(0, 1, 3, 4, 33, 65,
                                                          1000, 4099),
                                          testing::Values(1, 3, kMaxReadJobs)));

TEST_F(RecordViewTest, RefusesBadRequestsBeforeReading) {
  Result<RecordView> view = open_view(make(100, 10));
  ASSERT_TRUE(view);
  Bytes out(40, std::byte{0x77});
  // The buffer size is checked before the indices.
  Status small =
      read_records(*view, Indices{0, 1, 2, 99}, {out.data(), 39}, kMaxReadJobs);
  ASSERT_FALSE(small);
  EXPECT_EQ(small.error().text(), "read_records: output buffer too small");
  Status bad = read_records(*view, Indices{0, 1, 12, 10}, out, kMaxReadJobs);
  ASSERT_FALSE(bad);
  EXPECT_EQ(bad.error().code(), ErrorCode::kIo);
  EXPECT_EQ(bad.error().text(), "view record index 12 out of range (count 10)");
  EXPECT_EQ(out, Bytes(40, std::byte{0x77}));
}

TEST_F(RecordViewTest, ZeroSlotBytesWithRecordsIsAFault) {
  const int fd = ::open(make(10, 1).c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  const RecordView view(UniqueFd(fd), 0, 8);
  Status s = read_records(view, Indices{0, 1, 2, 3}, {}, kMaxReadJobs);
  ASSERT_FALSE(s);
  EXPECT_EQ(s.error().code(), ErrorCode::kFault);
  EXPECT_EQ(s.error().text(), "chunk size must be non-zero");
}

TEST_F(RecordViewTest, OutputSizeLimitIsTwoToTheSixtyThirdMinusOne) {
  const RecordView view(UniqueFd(), std::uint64_t{1} << 43, 1);
  const Result<std::size_t> fits = records_size(view, (1u << 20) - 1);
  ASSERT_TRUE(fits);
  EXPECT_EQ(*fits, (std::uint64_t{1} << 63) - (std::uint64_t{1} << 43));
  const Result<std::size_t> over = records_size(view, 1u << 20);
  ASSERT_FALSE(over);
  EXPECT_EQ(over.error().code(), ErrorCode::kFault);
  EXPECT_EQ(over.error().text(), "capacity overflow");
  EXPECT_EQ(*records_size(RecordView(UniqueFd(), 0, 0), SIZE_MAX), 0u);
}

TEST_F(RecordViewTest, ShrunkFileFailsOnEveryRoute) {
  const std::string path = make(1000, 10);
  Result<RecordView> view = open_view(path);
  ASSERT_TRUE(view);
  std::filesystem::resize_file(path, 555);  // record 55 now ends early
  Bytes out(640);
  for (const Indices& indices :
       {Indices{55}, Indices{0, 99}, Indices{1, 2, 3, 60}, Indices(64, 56)}) {
    Status s = read_records(*view, indices, out, kMaxReadJobs);
    ASSERT_FALSE(s);
    EXPECT_EQ(s.error().text(), "read_exact_at: eof inside buffer");
  }
}

}  // namespace
}  // namespace larkspur::io
