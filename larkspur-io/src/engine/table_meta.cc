// Reading a table directory's metadata and settling the geometry.
#include "larkspur-io/src/engine/table_meta.h"

#include <array>
#include <cerrno>

#include "larkspur-core/src/base/file.h"
#include "larkspur-core/src/base/str_cat.h"
#include "larkspur-io/src/json/top_level_fields.h"

namespace larkspur::io {

namespace {

constexpr std::size_t kMaxMetaBytes = std::size_t{1} << 20;

enum Key : std::size_t { kVersion, kShards, kRowsPerShard, kWidth, kKeys };
constexpr std::array<std::string_view, kKeys> kKeyNames = {
    "version", "shards", "rows_per_shard", "width"};

Error meta_error(std::string_view path, std::string_view what) {
  return Error::invalid_argument(str_cat(path, ": ", what));
}

}  // namespace

Result<GeometryParts> parse_table_meta(std::string_view meta_text,
                                       std::string_view path) {
  const TopLevelFields fields = read_top_level_fields(meta_text, kKeyNames);
  if (!fields.parsed) return meta_error(path, "not valid JSON");
  if (!fields.top_is_object) return meta_error(path, "not a JSON object");
  const FieldValue& version = fields.values[kVersion];
  if (version.present && version.number != kTableMetaVersion) {
    return meta_error(path,
                      "an unknown version of the metadata (this "
                      "library reads version 1)");
  }
  GeometryParts parts;
  std::optional<std::uint64_t>* slots[] = {nullptr, &parts.shards,
                                           &parts.rows_per_shard, &parts.width};
  for (std::size_t k = kShards; k < kKeys; ++k) {
    const FieldValue& v = fields.values[k];
    if (!v.present) continue;
    if (!v.number || *v.number == 0) {
      return meta_error(
          path, str_cat("\"", kKeyNames[k], "\" is not a positive integer"));
    }
    *slots[k] = v.number;
  }
  return parts;
}

Result<std::optional<GeometryParts>> read_table_meta(std::string_view dir) {
  const std::string path = join_path(dir, kTableMetaName);
  Result<std::string> text = read_file(path, kMaxMetaBytes);
  if (!text) {
    if (text.error().sys_errno() == ENOENT)
      return std::optional<GeometryParts>();
    return meta_error(path, text.error().text());
  }
  Result<GeometryParts> parts = parse_table_meta(*text, path);
  if (!parts) return std::move(parts).error();
  return std::optional<GeometryParts>(*parts);
}

Result<ShardGeometry> resolve_geometry(std::string_view dir,
                                       const GeometryParts& given) {
  const bool complete = given.shards && given.rows_per_shard && given.width;
  Result<std::optional<GeometryParts>> meta = read_table_meta(dir);
  // All three given: the metadata is only a check, and an unusable file
  // does not stand in the way.
  if (!meta && !complete) return std::move(meta).error();
  const GeometryParts found =
      meta && meta->has_value() ? **meta : GeometryParts{};
  const std::string path = join_path(dir, kTableMetaName);
  std::uint64_t values[3] = {};
  const std::optional<std::uint64_t> GeometryParts::*parts[] = {
      &GeometryParts::shards, &GeometryParts::rows_per_shard,
      &GeometryParts::width};
  for (std::size_t i = 0; i < 3; ++i) {
    const std::string_view name = kKeyNames[kShards + i];
    const std::optional<std::uint64_t>& mine = given.*parts[i];
    const std::optional<std::uint64_t>& theirs = found.*parts[i];
    if (mine && theirs && *mine != *theirs) {
      return Error::invalid_argument(str_cat(
          name, "=", *mine, " was given, but ", path, " says ", *theirs));
    }
    if (!mine && !theirs) {
      return Error::invalid_argument(
          str_cat("the ", name, " of the table in ", dir, " is unknown: ",
                  meta && meta->has_value() ? str_cat(path, " does not give it")
                                            : str_cat("there is no ", path),
                  "; pass ", name, "="));
    }
    values[i] = mine ? *mine : *theirs;
    if (values[i] == 0) {
      return Error::invalid_argument(str_cat(name, " must be positive"));
    }
  }
  return ShardGeometry{values[0], values[1], values[2]};
}

}  // namespace larkspur::io
