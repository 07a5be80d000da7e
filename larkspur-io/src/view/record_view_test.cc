#include "larkspur-io/src/view/record_view.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace larkspur::io {
namespace {

using Bytes = std::vector<std::byte>;

// Record i of a test file holds bytes derived from i and the position, so
// a record read from the wrong offset or into the wrong slot shows.
std::byte pattern(std::uint64_t offset) {
  return static_cast<std::byte>((offset * 131 + offset / 251) & 0xff);
}

class RecordViewTest : public testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/larkspur-view-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  // A record file of `size` pattern bytes, with a manifest when given.
  std::string make(const std::string& name, std::uint64_t size,
                   const std::string& manifest = {}) {
    std::string content(size, '\0');
    for (std::uint64_t i = 0; i < size; ++i) {
      content[i] = static_cast<char>(pattern(i));
    }
    std::ofstream(dir_ / (name + ".bin"), std::ios::binary) << content;
    if (!manifest.empty()) {
      std::ofstream(dir_ / (name + ".manifest.json")) << manifest;
    }
    return dir_ / (name + ".bin");
  }

  static Bytes expected(const std::vector<std::uint64_t>& indices,
                        std::uint64_t slot) {
    Bytes out;
    for (const std::uint64_t index : indices) {
      for (std::uint64_t b = 0; b < slot; ++b) {
        out.push_back(pattern(index * slot + b));
      }
    }
    return out;
  }

  std::filesystem::path dir_;
};

struct CountCase {
  std::uint64_t size;
  std::string manifest;
  std::uint64_t slot_bytes;
  std::uint64_t count;
};

class CountRuleTest : public RecordViewTest,
                      public testing::WithParamInterface<CountCase> {};

TEST_P(CountRuleTest, FollowsSizeSlotAndGrans) {
  const CountCase& c = GetParam();
  Result<RecordView> view = open_view(make("rec", c.size, c.manifest));
  ASSERT_TRUE(view) << view.error().text();
  EXPECT_EQ(view->slot_bytes(), c.slot_bytes);
  EXPECT_EQ(view->count(), c.count);
}

INSTANTIATE_TEST_SUITE_P(
    Files, CountRuleTest,
    testing::Values(
        CountCase{0, "", 2560, 0}, CountCase{2559, "", 2560, 0},
        CountCase{2560 * 7 + 2559, "", 2560, 7},
        CountCase{1 << 20, R"({"slot_bytes": 4096, "grans": 10})", 4096, 10},
        CountCase{20000, R"({"slot_bytes": 4096, "grans": 10})", 4096, 4},
        CountCase{1000, R"({"slot_bytes": 100, "grans": 0})", 100, 10},
        CountCase{1000, R"({"slot_bytes": 100, "grans": 11})", 100, 10},
        CountCase{1000, R"({"slot_bytes": 100, "grans": 9})", 100, 9},
        CountCase{1000, R"({"slot_bytes": 0, "grans": 5})", 0, 0},
        CountCase{1000, R"({"slot_bytes": 1})", 1, 1000},
        CountCase{5000, R"({"slot_bytes": 2560.0, "grans": 1})", 2560, 1}));

TEST_F(RecordViewTest, OpenFailuresCarryTheSystemText) {
  make("emb", 100, R"({"slot_bytes": 10})");
  std::filesystem::remove(dir_ / "emb.bin");
  Result<RecordView> missing = open_view((dir_ / "emb.bin").string());
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().text(), "No such file or directory (os error 2)");

  const std::string with_nul = make("ok", 100) + std::string("\0x", 2);
  Result<RecordView> nul = open_view(with_nul);
  ASSERT_FALSE(nul);
  EXPECT_EQ(nul.error().text(), "file name contained an unexpected NUL byte");
  EXPECT_EQ(nul.error().code(), ErrorCode::kIo);
}

TEST_F(RecordViewTest, DirectoryOpensButReadsFailWithEisdir) {
  std::ofstream(dir_ / "d.manifest.json") << R"({"slot_bytes": 1})";
  std::filesystem::create_directory(dir_ / "d");
  Result<RecordView> view = open_view((dir_ / "d").string());
  ASSERT_TRUE(view) << view.error().text();
  ASSERT_GT(view->count(), 4u);
  Bytes one(1);
  Status s = read_record(*view, 0, one);
  ASSERT_FALSE(s);
  EXPECT_EQ(s.error().text(), "Is a directory (os error 21)");
  Bytes many(5);
  Status batch = read_records(*view, std::vector<std::uint64_t>{0, 1, 2, 3, 4},
                              many, kMaxReadJobs);
  ASSERT_FALSE(batch);
  EXPECT_EQ(batch.error().text(), "Is a directory (os error 21)");
}

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
    testing::Values(LayoutCase{0, 32, {}}, LayoutCase{1, 32, {}},
                    LayoutCase{3, 32, {}}, LayoutCase{4, 32, {4, 1}},
                    LayoutCase{32, 32, {32, 1}}, LayoutCase{33, 32, {17, 2}},
                    LayoutCase{64, 32, {32, 2}}, LayoutCase{65, 32, {22, 3}},
                    LayoutCase{100, 32, {25, 4}},
                    LayoutCase{1000, 32, {32, 32}},
                    LayoutCase{10000, 32, {32, 313}},
                    LayoutCase{1000, 1, {}}, LayoutCase{1000, 0, {}},
                    LayoutCase{4, 2, {2, 2}}, LayoutCase{5, 2, {2, 3}}));

// Every route must give what reading each record on its own gives.
class ReadRecordsTest : public RecordViewTest,
                        public testing::WithParamInterface<std::size_t> {};

TEST_P(ReadRecordsTest, EqualsRecordByRecordReads) {
  constexpr std::uint64_t kSlot = 48;
  Result<RecordView> view =
      open_view(make("r", kSlot * 300 + 7, R"({"slot_bytes": 48})"));
  ASSERT_TRUE(view);
  std::mt19937_64 rng(GetParam());
  std::vector<std::uint64_t> indices(GetParam());
  for (auto& index : indices) index = rng() % view->count();
  if (indices.size() > 2) indices[1] = indices[0];  // duplicates read twice
  if (!indices.empty()) indices.back() = view->count() - 1;

  Bytes out(indices.size() * kSlot, std::byte{0xee});
  Status s = read_records(*view, indices, out, kMaxReadJobs);
  ASSERT_TRUE(s) << s.error().text();
  Bytes single;
  for (const std::uint64_t index : indices) {
    Bytes record(kSlot);
    ASSERT_TRUE(read_record(*view, index, record));
    single.insert(single.end(), record.begin(), record.end());
  }
  EXPECT_EQ(out, single);
  EXPECT_EQ(out, expected(indices, kSlot));
}

INSTANTIATE_TEST_SUITE_P(Counts, ReadRecordsTest,
                         testing::Values(0, 1, 3, 4, 5, 32, 33, 64, 65, 100,
                                         1000, 4099));

TEST_F(RecordViewTest, ALargerOutputKeepsItsTail) {
  Result<RecordView> view = open_view(make("t", 40, R"({"slot_bytes": 4})"));
  ASSERT_TRUE(view);
  const std::vector<std::uint64_t> indices{9, 0, 5, 5, 2};
  Bytes out(indices.size() * 4 + 3, std::byte{0x5a});
  ASSERT_TRUE(read_records(*view, indices, out, kMaxReadJobs));
  Bytes want = expected(indices, 4);
  want.insert(want.end(), 3, std::byte{0x5a});
  EXPECT_EQ(out, want);
}

struct BadIndexCase {
  std::vector<std::uint64_t> indices;
  std::string message;
};

class BadIndexTest : public RecordViewTest,
                     public testing::WithParamInterface<BadIndexCase> {};

TEST_P(BadIndexTest, NamesTheFirstOffenderAndReadsNothing) {
  Result<RecordView> view = open_view(make("b", 100, R"({"slot_bytes": 10})"));
  ASSERT_TRUE(view);
  const auto& indices = GetParam().indices;
  Bytes out(indices.size() * 10, std::byte{0x77});
  Status s = read_records(*view, indices, out, kMaxReadJobs);
  ASSERT_FALSE(s);
  EXPECT_EQ(s.error().text(), GetParam().message);
  EXPECT_EQ(s.error().code(), ErrorCode::kIo);
  EXPECT_EQ(out, Bytes(out.size(), std::byte{0x77}));
}

INSTANTIATE_TEST_SUITE_P(
    Requests, BadIndexTest,
    testing::Values(
        BadIndexCase{{10}, "view record index 10 out of range (count 10)"},
        BadIndexCase{{0, 1, 12},
                     "view record index 12 out of range (count 10)"},
        BadIndexCase{{0, 1, 2, 3, 4, 5, 6, 7, 8, 11, 10},
                     "view record index 11 out of range (count 10)"},
        BadIndexCase{{99, 0, 0, 0, 18446744073709551615ULL},
                     "view record index 99 out of range (count 10)"},
        BadIndexCase{{1, 2, 3, 4, 5, 6, 7, 8, 9, 0, 1, 2,
                      18446744073709551615ULL},
                     "view record index 18446744073709551615 out of range "
                     "(count 10)"}));

TEST_F(RecordViewTest, ReadRecordChecksItsIndex) {
  Result<RecordView> view = open_view(make("c", 100, R"({"slot_bytes": 10})"));
  ASSERT_TRUE(view);
  Bytes one(10);
  ASSERT_TRUE(read_record(*view, 9, one));
  EXPECT_EQ(one, expected({9}, 10));
  Status s = read_record(*view, 10, one);
  ASSERT_FALSE(s);
  EXPECT_EQ(s.error().text(), "view record index 10 out of range (count 10)");
}

TEST_F(RecordViewTest, OutputTooSmallIsRefusedBeforeIndicesAreChecked) {
  Result<RecordView> view = open_view(make("s", 100, R"({"slot_bytes": 10})"));
  ASSERT_TRUE(view);
  Bytes out(39);
  for (const std::vector<std::uint64_t>& indices :
       {std::vector<std::uint64_t>{0, 1, 2, 3},
        std::vector<std::uint64_t>{0, 1, 2, 99}}) {
    Status s = read_records(*view, indices, out, kMaxReadJobs);
    ASSERT_FALSE(s);
    EXPECT_EQ(s.error().text(), "read_records: output buffer too small");
  }
}

TEST_F(RecordViewTest, ZeroSlotBytesWithRecordsIsAFault) {
  const int fd = ::open(make("z", 10).c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  const RecordView view(UniqueFd(fd), 0, 8);
  Bytes out;
  Status s = read_records(view, std::vector<std::uint64_t>{0, 1, 2, 3}, out,
                          kMaxReadJobs);
  ASSERT_FALSE(s);
  EXPECT_EQ(s.error().code(), ErrorCode::kFault);
  EXPECT_EQ(s.error().text(), "chunk size must be non-zero");
}

TEST_F(RecordViewTest, ShrunkFileFailsOnBothRoutes) {
  const std::string path = make("k", 1000, R"({"slot_bytes": 10})");
  Result<RecordView> view = open_view(path);
  ASSERT_TRUE(view);
  std::filesystem::resize_file(path, 555);  // record 55 now ends early
  Bytes out(10 * 64);
  for (const std::vector<std::uint64_t>& indices :
       {std::vector<std::uint64_t>{55}, std::vector<std::uint64_t>{0, 99},
        std::vector<std::uint64_t>{1, 2, 3, 60},
        std::vector<std::uint64_t>(64, 56)}) {
    Status s = read_records(
        *view, indices, std::span(out).first(indices.size() * 10),
        kMaxReadJobs);
    ASSERT_FALSE(s);
    EXPECT_EQ(s.error().text(), "read_exact_at: eof inside buffer");
  }
  // Records still wholly inside the file stay readable.
  Bytes first(40);
  EXPECT_TRUE(read_records(*view, std::vector<std::uint64_t>{0, 54, 1, 2},
                           first, kMaxReadJobs));
  EXPECT_EQ(first, expected({0, 54, 1, 2}, 10));
}

TEST_F(RecordViewTest, OutputSizeLimit) {
  const int fd = ::open(make("o", 10).c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  const RecordView view(UniqueFd(fd), std::uint64_t{1} << 43, 1);
  const Result<std::size_t> fits = records_size(view, (1u << 20) - 1);
  ASSERT_TRUE(fits);
  EXPECT_EQ(*fits, (std::uint64_t{1} << 63) - (std::uint64_t{1} << 43));
  const Result<std::size_t> over = records_size(view, 1u << 20);
  ASSERT_FALSE(over);
  EXPECT_EQ(over.error().code(), ErrorCode::kFault);
  EXPECT_EQ(over.error().text(), "capacity overflow");
  const RecordView empty(UniqueFd(), 0, 0);
  EXPECT_EQ(*records_size(empty, SIZE_MAX), 0u);
}

}  // namespace
}  // namespace larkspur::io
