// A model checkpoint of safetensors files and the tables inside it: the
// tensors of each file, and the shard tensors that make one table.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "larkspur-core/src/base/result.h"
#include "larkspur-core/src/layout/shard_geometry.h"
#include "larkspur-io/src/checkpoint/safetensors.h"

namespace larkspur::io {

// The index file of a checkpoint split over several files: a JSON object
// whose "weight_map" maps each tensor name to the file holding it.
inline constexpr std::string_view kCheckpointIndexName =
    "model.safetensors.index.json";

// One tensor of a checkpoint and the file holding it.
struct CheckpointTensor {
  TensorEntry entry;
  std::string path;  // the file, as opened (the checkpoint's path joined)
};

// The tensors of the checkpoint at `path`, ordered by file then data
// offset:
// - a file: its tensors;
// - a directory with kCheckpointIndexName: the files its weight_map names
//   (plain names inside the directory: no "/" or ".."), each tensor in the
//   file the map gives (tensors of those files that the map leaves out are
//   listed too; files it does not name are not opened);
// - another directory: every "*.safetensors" file in it, in name order.
// Fails (kInvalidArgument, or the open error) naming the file: an index
// that is not such an object, a file it names that is missing, a tensor
// it maps that its file lacks, a tensor name found in two files, a header
// parse_safetensors_header refuses, a directory with no safetensors file.
Result<std::vector<CheckpointTensor>> list_checkpoint(std::string_view path);

// Which tensors are a table's shards, in shard order: the names given, or a
// pattern with one "{i}" that i = 0, 1, 2, ... fills while a tensor of that
// name exists.
struct ShardTensorNames {
  std::optional<std::string> pattern;
  std::vector<std::string> names;  // when there is no pattern
};

// One shard: its file and where its rows lie there.
struct ShardFile {
  std::string path;
  ShardExtent extent;
};

// A table made of checkpoint tensors.
struct CheckpointTable {
  ShardGeometry geometry;
  std::vector<std::string> names;  // the shard tensors, in shard order
  std::vector<ShardFile> shards;
};

// The table the shard tensors `names` of the checkpoint at `path` make:
// - each tensor 2-D (rows, row elements): a row is row elements × element
//   size bytes; or 1-D of 1-byte elements, cut into rows of `width` bytes
//   (which must then be given, and divide its length);
// - `width`, when given, must equal a 2-D tensor's row size;
// - every shard has the first one's width and row count, except the last,
//   which may have fewer rows (the rest read as zeros);
// - rows_per_shard is the first shard's row count, at least 1; the width
//   at least 1 byte.
// Fails (kInvalidArgument) with texts that name the file and tensor:
//   "{file}: tensor {name}: shape [3, 4, 5] is not 2-D"
//   "tensor {name} is not in {path}"
//   "{path}: no tensor is named {pattern with 0}" (a pattern that matches
//   nothing), "{pattern}: tensors 0 to 7 exist but so does {name}" (a
//   pattern whose matches have a gap), and the like.
Result<CheckpointTable> checkpoint_table(std::string_view path,
                                         const ShardTensorNames& names,
                                         std::optional<std::uint64_t> width);

}  // namespace larkspur::io
