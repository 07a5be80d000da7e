// Row-id arithmetic and shard file names.
#include "larkspur-core/src/layout/shard_geometry.h"

#include "larkspur-core/src/base/str_cat.h"

namespace larkspur {

WideCount multiply_wide(std::uint64_t a, std::uint64_t b) {
  __extension__ using Uint128 = unsigned __int128;
  const Uint128 product = static_cast<Uint128>(a) * b;
  return {static_cast<std::uint64_t>(product >> 64),
          static_cast<std::uint64_t>(product)};
}

std::string join_path(std::string_view dir, std::string_view name) {
  if (dir.empty()) return std::string(name);
  if (dir.back() == '/') return str_cat(dir, name);
  return str_cat(dir, '/', name);
}

std::string shard_file_path(std::string_view dir, std::uint64_t index) {
  return join_path(dir, str_cat("shard_", index, ".bin"));
}

std::string badge_file_path(std::string_view dir, std::uint64_t index) {
  return join_path(dir, str_cat("badge_", index, ".bin"));
}

}  // namespace larkspur
