// Store: rows of a sharded table, fetched by global row id.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "larkspur-core/src/base/memory.h"
#include "larkspur-io/src/fetch/fetch_plan.h"
#include "larkspur-io/src/fetch/store.h"
#include "larkspur-python/src/binding/gil.h"
#include "larkspur-python/src/members.h"

namespace larkspur::py {
namespace {

constexpr std::uint64_t kDefaultThreads = 32;

Result<io::Store> make(std::string dir, std::uint64_t shards,
                       std::uint64_t rows_per_shard, std::uint64_t width,
                       std::optional<std::uint64_t> threads) {
  const ShardGeometry geometry{shards, rows_per_shard, width};
  return blocking([&] {
    return io::Store::open(dir, geometry, threads.value_or(kDefaultThreads));
  });
}

// The rows of `rowids` as one bytes object, read straight into it with
// the interpreter lock released.
Result<PyRef> fetch_into_bytes(const io::Store& store,
                               std::span<const std::uint64_t> rowids) {
  if (rowids.empty()) return new_bytes(0);
  const Result<std::size_t> size =
      io::fetch_output_size(rowids.size(), store.geometry().width);
  if (!size) return size.error();
  PyRef out = new_bytes(*size);
  if (!out) return Error::raised();
  const std::span<std::byte> bytes(bytes_data(out), *size);
  Status read = blocking([&] { return io::fetch_rows(store, rowids, bytes); });
  if (!read) return std::move(read).error();
  return out;
}

Result<PyRef> fetch(const io::Store& store, std::vector<std::uint64_t> rowids) {
  Result<PyRef> rows = fetch_into_bytes(store, rowids);
  // The ids of an unusually large request are given back to the system
  // too, not only the planner's memory.
  if (release_if_large(rowids)) return_freed_memory();
  return rows;
}

Result<PyRef> fetch_one(const io::Store& store, std::uint64_t rowid) {
  return fetch_into_bytes(store, std::span<const std::uint64_t>(&rowid, 1));
}

Status close(const io::Store& /*store*/) { return ok(); }

std::uint64_t width(const io::Store& store) { return store.geometry().width; }

// The exact product as a Python int, whatever its size.
WideCount total_rows(const io::Store& store) {
  return store.geometry().total_rows();
}

constexpr auto kStore = declare_class<io::Store>(
    kLarkspurNames, "Store", "", Threads::kAny,
    init<&make>({"dir", "shards", "rows_per_shard", "width", opt("threads")}),
    method<&fetch>("fetch", {"rowids"}),
    method<&fetch_one>("fetch_one", {"rowid"}),
    method<&close>("close", {},
                   "Compatibility no-op for the ctypes API (resources are "
                   "dropped with the object)."),
    getter<&width>("width"), getter<&total_rows>("total_rows"));

}  // namespace

ClassRef store_class() { return class_ref<kStore>(); }

}  // namespace larkspur::py
