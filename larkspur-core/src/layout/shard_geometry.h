// The geometry of a sharded row table: where a row id lives, how big the
// table is, and what its shard files are called.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace larkspur {

// Rows are read through windows aligned to this many bytes of a file.
inline constexpr std::uint64_t kPageBytes = 4096;

// An unsigned 128-bit count as two 64-bit halves.
struct WideCount {
  std::uint64_t high;
  std::uint64_t low;
  friend bool operator==(const WideCount&, const WideCount&) = default;
};

// The exact product a × b.
WideCount multiply_wide(std::uint64_t a, std::uint64_t b);

// A row's place: its shard, its row inside the shard file and that row's
// byte offset there (local_row × width, wrapping modulo 2^64).
struct RowLocation {
  std::uint64_t shard;
  std::uint64_t local_row;
  std::uint64_t byte_offset;
};

// `shards` files of `rows_per_shard` rows of `width` bytes each, without
// headers: global row r is row r % rows_per_shard of shard r / rows_per_shard.
struct ShardGeometry {
  std::uint64_t shards;
  std::uint64_t rows_per_shard;
  std::uint64_t width;
  friend bool operator==(const ShardGeometry&, const ShardGeometry&) = default;

  // shards × rows_per_shard, exactly.
  WideCount total_rows() const { return multiply_wide(shards, rows_per_shard); }

  // Requires rows_per_shard > 0. The shard is not range-checked.
  RowLocation locate(std::uint64_t rowid) const {
    const std::uint64_t shard = rowid / rows_per_shard;
    const std::uint64_t local = rowid - shard * rows_per_shard;
    return {shard, local, local * width};
  }
};

// Where a shard's rows lie in its file: `length` bytes from byte `offset`
// (a tensor inside a checkpoint, say). Bytes of a row past `length` read as
// zeros, as bytes past the end of the file do. The default is a whole file
// of rows from byte 0.
struct ShardExtent {
  // No shard holds 2^63 bytes or more: positional reads stop there.
  static constexpr std::uint64_t kToFileEnd = std::uint64_t{1} << 63;
  std::uint64_t offset = 0;
  std::uint64_t length = kToFileEnd;
  friend bool operator==(const ShardExtent&, const ShardExtent&) = default;
};

// `dir` joined with `name`: one '/' between them unless `dir` is empty (the
// bare name) or already ends with '/'.
std::string join_path(std::string_view dir, std::string_view name);

// The preferred and the fallback file of shard `index` in `dir`:
// "{dir}/shard_{index}.bin" and "{dir}/badge_{index}.bin".
std::string shard_file_path(std::string_view dir, std::uint64_t index);
std::string badge_file_path(std::string_view dir, std::uint64_t index);

}  // namespace larkspur
