#include "larkspur-io/src/checkpoint/checkpoint.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "larkspur-core/src/base/file.h"
#include "larkspur-core/src/base/temp_dir_testing.h"
#include "larkspur-io/src/checkpoint/safetensors_testing.h"

namespace larkspur::io {
namespace {

using test::safetensors_file;
using test::TestTensor;
using Files = std::vector<std::pair<std::string, std::string>>;

constexpr std::string_view kIndex = kCheckpointIndexName;

std::string index_of(const std::string& weight_map) {
  return R"({"metadata":{"total_size":[1,{"x":[]}]},"weight_map":)" +
         weight_map + "}";
}

std::vector<std::string> names_of(const std::vector<CheckpointTensor>& ts) {
  std::vector<std::string> out;
  out.reserve(ts.size());
  for (const CheckpointTensor& t : ts) out.push_back(t.entry.name);
  return out;
}

class CheckpointTest : public testing::Test {
 protected:
  void write(const Files& files) const {
    for (const auto& [name, contents] : files) dir_.write(name, contents);
  }
  std::string at(const std::string& name) const { return dir_ / name; }
  std::string root() const { return dir_.path().string(); }

 private:
  test::TempDir dir_;
};

TEST_F(CheckpointTest, ListsOneFileInDataOrder) {
  write({{"m.safetensors",
          safetensors_file({{"b", "U8", {8}}, {"a", "F32", {2, 2}}})}});
  const auto tensors = list_checkpoint(at("m.safetensors"));
  ASSERT_TRUE(tensors) << tensors.error().text();
  EXPECT_EQ(names_of(*tensors), (std::vector<std::string>{"b", "a"}));
  EXPECT_EQ((*tensors)[1].path, at("m.safetensors"));
  EXPECT_EQ((*tensors)[1].entry.end - (*tensors)[1].entry.begin, 16U);
}

TEST_F(CheckpointTest, IndexNamesTheFilesAndOnlyThoseAreOpened) {
  write({{"b.safetensors", safetensors_file({{"t1", "U8", {4}}})},
         {"a.safetensors",
          safetensors_file({{"t0", "U8", {4}}, {"unmapped", "U8", {2}}})},
         {"c.safetensors", "not a safetensors file"},
         {std::string(kIndex),
          index_of(R"({"t1":"b.safetensors","t0":"a.safetensors"})")}});
  const auto tensors = list_checkpoint(root());
  ASSERT_TRUE(tensors) << tensors.error().text();
  EXPECT_EQ(names_of(*tensors),
            (std::vector<std::string>{"t0", "unmapped", "t1"}));
  EXPECT_EQ((*tensors)[2].path, at("b.safetensors"));
}

TEST_F(CheckpointTest, WithoutIndexEverySafetensorsFileInNameOrder) {
  write({{"z.safetensors", safetensors_file({{"z", "U8", {1}}})},
         {"notes.txt", "ignored"},
         {"a.safetensors", safetensors_file({{"a", "U8", {1}}})}});
  const auto tensors = list_checkpoint(root() + "/");
  ASSERT_TRUE(tensors) << tensors.error().text();
  EXPECT_EQ(names_of(*tensors), (std::vector<std::string>{"a", "z"}));
  EXPECT_EQ((*tensors)[0].path, at("a.safetensors"));
}

struct BadCheckpoint {
  Files files;
  std::string error;
};

class CheckpointBadListing : public CheckpointTest,
                             public testing::WithParamInterface<BadCheckpoint> {
};

TEST_P(CheckpointBadListing, IsRefusedNamingTheFile) {
  write(GetParam().files);
  const auto tensors = list_checkpoint(root());
  ASSERT_FALSE(tensors);
  EXPECT_NE(tensors.error().text().find(GetParam().error), std::string::npos)
      << tensors.error().text();
}

// A file of one tensor, "t".
std::string file_a() { return safetensors_file({{"t", "U8", {4}}}); }

INSTANTIATE_TEST_SUITE_P(
    Layouts, CheckpointBadListing,
    testing::Values(
        BadCheckpoint{{{"x.bin", "x"}},
                      "no model.safetensors.index.json and no *.safetensors"},
        BadCheckpoint{{{std::string(kIndex), "[]"}},
                      "index.json: not a JSON object"},
        BadCheckpoint{{{std::string(kIndex), "{"}},
                      "index.json: not valid JSON"},
        BadCheckpoint{{{std::string(kIndex), R"({"metadata":{}})"}},
                      "index.json: no \"weight_map\""},
        BadCheckpoint{{{std::string(kIndex), index_of("[]")}},
                      "\"weight_map\" is an array, not an object"},
        BadCheckpoint{{{std::string(kIndex), index_of("{}")}},
                      "\"weight_map\" names no tensor"},
        BadCheckpoint{
            {{std::string(kIndex), R"({"weight_map":{},"weight_map":{}})"}},
            "\"weight_map\" appears twice"},
        BadCheckpoint{{{std::string(kIndex), index_of(R"({"t":1})")}},
                      "tensor t is mapped to a number, not a file name"},
        BadCheckpoint{
            {{std::string(kIndex), index_of(R"({"t":"../a.safetensors"})")}},
            "\"../a.safetensors\", which is not a file name inside"},
        BadCheckpoint{
            {{std::string(kIndex), index_of(R"({"t":"s/a.safetensors"})")}},
            "which is not a file name inside"},
        BadCheckpoint{{{std::string(kIndex), index_of(R"({"t":".."})")}},
                      "which is not a file name inside"},
        BadCheckpoint{{{std::string(kIndex), index_of(R"({"t":""})")}},
                      "which is not a file name inside"},
        BadCheckpoint{{{std::string(kIndex), index_of(R"({"t":"a\u0000"})")}},
                      "which is not a file name inside"},
        BadCheckpoint{{{std::string(kIndex), index_of(R"({"t":"a","t":"a"})")}},
                      "tensor t is mapped twice"},
        BadCheckpoint{
            {{std::string(kIndex), index_of(R"({"t":"gone.safetensors"})")}},
            "gone.safetensors: No such file or directory"},
        BadCheckpoint{
            {{std::string(kIndex), index_of(R"({"q":"a.safetensors"})")},
             {"a.safetensors", file_a()}},
            "index.json: tensor q is mapped to a.safetensors, which "
            "has no such tensor"},
        BadCheckpoint{
            {{"a.safetensors", file_a()}, {"b.safetensors", file_a()}},
            "a.safetensors and "},
        BadCheckpoint{{{"a.safetensors", "short"}},
                      "a.safetensors: too short for a safetensors header"}));

// One file "m.safetensors" of `tensors`, and the table asked of it.
struct TableCase {
  std::vector<TestTensor> tensors;
  ShardTensorNames names;
  std::optional<std::uint64_t> width;
  std::string error;  // empty when the table is made
  ShardGeometry geometry{};
};

class CheckpointTableTest : public CheckpointTest,
                            public testing::WithParamInterface<TableCase> {};

TEST_P(CheckpointTableTest, MakesTheTableOrNamesTheFault) {
  const TableCase& c = GetParam();
  write({{"m.safetensors", safetensors_file(c.tensors)}});
  const auto table = checkpoint_table(root(), c.names, c.width);
  if (!c.error.empty()) {
    ASSERT_FALSE(table);
    EXPECT_NE(table.error().text().find(c.error), std::string::npos)
        << table.error().text();
    return;
  }
  ASSERT_TRUE(table) << table.error().text();
  EXPECT_EQ(table->geometry.shards, c.geometry.shards);
  EXPECT_EQ(table->geometry.rows_per_shard, c.geometry.rows_per_shard);
  EXPECT_EQ(table->geometry.width, c.geometry.width);
  ASSERT_EQ(table->shards.size(), table->geometry.shards);
  ASSERT_EQ(table->names.size(), table->geometry.shards);
  // Each extent covers exactly its tensor's bytes, which hold k + 1 for
  // the tensor's place k in the file.
  const auto file = open_file(at("m.safetensors"), FileKinds::kRegular);
  ASSERT_TRUE(file);
  for (std::size_t s = 0; s < table->shards.size(); ++s) {
    const ShardFile& shard = table->shards[s];
    EXPECT_EQ(shard.path, at("m.safetensors"));
    std::size_t k = 0;
    while (c.tensors[k].name != table->names[s]) ++k;
    std::string bytes(shard.extent.length + 1, '\0');
    const auto n =
        read_at(file->fd.get(), std::as_writable_bytes(std::span(bytes)),
                shard.extent.offset);
    ASSERT_TRUE(n);
    bytes.resize(*n);
    EXPECT_EQ(bytes.substr(0, shard.extent.length),
              std::string(shard.extent.length, static_cast<char>(k + 1)));
    if (bytes.size() > shard.extent.length) {
      EXPECT_NE(bytes.back(), static_cast<char>(k + 1))
          << "the extent stops short of its tensor's end";
    }
  }
}

ShardTensorNames pattern(const std::string& p) { return {p, {}}; }
ShardTensorNames listed(std::vector<std::string> n) {
  return {std::nullopt, std::move(n)};
}

INSTANTIATE_TEST_SUITE_P(
    Tables, CheckpointTableTest,
    testing::Values(
        // Shard order is the pattern's, not the file's; the last is short.
        TableCase{{{"e.1", "U8", {4, 16}},
                   {"e.0", "U8", {4, 16}},
                   {"e.2", "U8", {2, 16}},
                   {"other", "F32", {3}}},
                  pattern("e.{i}"),
                  std::nullopt,
                  "",
                  {3, 4, 16}},
        TableCase{{{"l.0.w", "BF16", {5, 8}}, {"l.0.b", "BF16", {8}}},
                  pattern("l.{i}.w"),
                  16,
                  "",
                  {1, 5, 16}},
        TableCase{{{"x", "U8", {64}}, {"y", "F8_E4M3", {48}}},
                  listed({"x", "y"}),
                  16,
                  "",
                  {2, 4, 16}},
        TableCase{{{"x", "F32", {2, 4}}, {"y", "F32", {2, 4}}},
                  listed({"y", "x"}),
                  std::nullopt,
                  "",
                  {2, 2, 16}},
        TableCase{{{"e.0", "U8", {1, 1}}},
                  pattern("e"),
                  {},
                  "tensor pattern e has no {i}"},
        TableCase{{{"e.0", "U8", {1, 1}}},
                  pattern("{i}{i}"),
                  {},
                  "tensor pattern {i}{i} has more than one {i}"},
        TableCase{{{"e.1", "U8", {1, 1}}},
                  pattern("e.{i}"),
                  {},
                  "no tensor is named e.0"},
        TableCase{{{"e.0", "U8", {1, 1}},
                   {"e.1", "U8", {1, 1}},
                   {"e.3", "U8", {1, 1}}},
                  pattern("e.{i}"),
                  {},
                  "e.{i}: tensors 0 to 1 exist but so does e.3"},
        TableCase{{{"e.0", "U8", {1, 1}}, {"e.01", "U8", {1, 1}}},
                  pattern("e.{i}"),
                  {},
                  "tensors 0 to 0 exist but so does e.01"},
        TableCase{
            {{"x", "U8", {1, 1}}}, listed({}), {}, "no shard tensor is named"},
        TableCase{{{"x", "U8", {1, 1}}},
                  listed({"x", "x"}),
                  {},
                  "tensor x is named twice"},
        TableCase{
            {{"x", "U8", {1, 1}}}, listed({"q"}), {}, "tensor q is not in "},
        TableCase{{{"x", "U8", {3, 4, 5}}},
                  listed({"x"}),
                  {},
                  "m.safetensors: tensor x: shape [3, 4, 5] is not 2-D"},
        TableCase{{{"x", "U8", {}}}, listed({"x"}), {}, "shape [] is not 2-D"},
        TableCase{{{"x", "U8", {64}}},
                  listed({"x"}),
                  {},
                  "tensor x: a 1-D tensor needs width="},
        TableCase{{{"x", "F16", {64}}},
                  listed({"x"}),
                  16,
                  "tensor x: a 1-D tensor of F16 is not bytes; give rows a 2-D "
                  "shape"},
        TableCase{
            {{"x", "U8", {1000}}},
            listed({"x"}),
            160,
            "tensor x: 1000 bytes is not a whole number of 160-byte rows"},
        TableCase{
            {{"x", "U8", {64}}}, listed({"x"}), 0, "tensor x: rows of 0 bytes"},
        TableCase{
            {{"x", "U8", {0}}}, listed({"x"}), 16, "tensor x: has no rows"},
        TableCase{{{"x", "F16", {2, 160}}},
                  listed({"x"}),
                  160,
                  "tensor x: rows of 320 bytes, but width=160 was given"},
        TableCase{
            {{"x", "U8", {0, 16}}}, listed({"x"}), {}, "tensor x: has no rows"},
        TableCase{{{"x", "U8", {4, 0}}},
                  listed({"x"}),
                  {},
                  "tensor x: rows of 0 bytes"},
        TableCase{
            {{"x", "U8", {2, 160}}, {"y", "U8", {2, 320}}},
            listed({"x", "y"}),
            {},
            "tensor y: rows of 320 bytes, but shard 0 has rows of 160 bytes"},
        TableCase{{{"x", "U8", {4, 8}}, {"y", "U8", {5, 8}}},
                  listed({"x", "y"}),
                  {},
                  "tensor y has 5 rows, more than shard 0's 4"},
        TableCase{
            {{"x", "U8", {4, 8}}, {"y", "U8", {3, 8}}, {"z", "U8", {4, 8}}},
            listed({"x", "y", "z"}),
            {},
            "tensor y has 3 rows, fewer than shard 0's 4: only the last "
            "shard may be shorter"}));

}  // namespace
}  // namespace larkspur::io
