// The metadata file of a table directory and the geometry a Table opens
// with: from the file, from the caller, or both when they agree.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "larkspur-core/src/base/result.h"
#include "larkspur-core/src/layout/shard_geometry.h"

namespace larkspur::io {

// "larkspur-table.json" in the table directory: a JSON object whose keys
// "shards", "rows_per_shard" and "width" are positive integers and whose
// "version", when present, is 1. Other keys (the writer's "source",
// "generator") are ignored.
inline constexpr std::string_view kTableMetaName = "larkspur-table.json";
inline constexpr std::uint64_t kTableMetaVersion = 1;

// A geometry with parts that may be missing.
struct GeometryParts {
  std::optional<std::uint64_t> shards;
  std::optional<std::uint64_t> rows_per_shard;
  std::optional<std::uint64_t> width;
};

// The parts the metadata file of `dir` gives; nullopt when there is no
// such file. Fails (kInvalidArgument) with "{path}: ..." when it cannot be
// read or does not describe a table.
Result<std::optional<GeometryParts>> read_table_meta(std::string_view dir);

// The geometry of parts read from `meta_text` (the file at `path`), as
// read_table_meta checks it.
Result<GeometryParts> parse_table_meta(std::string_view meta_text,
                                       std::string_view path);

// The geometry to open `dir` with: each part as the caller gave it, else
// from the metadata. Fails (kInvalidArgument) when a given part differs
// from the metadata's, when a part is known from neither, or when the
// metadata is unusable and a part is missing.
Result<ShardGeometry> resolve_geometry(std::string_view dir,
                                       const GeometryParts& given);

}  // namespace larkspur::io
