// Store: rows of a sharded table, fetched by global row id.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "larkspur-io/src/batch/fetch_plan.h"
#include "larkspur-io/src/batch/store.h"
#include "larkspur-python/src/binding/entry.h"
#include "larkspur-python/src/binding/gil.h"
#include "larkspur-python/src/members.h"

namespace larkspur::py {
namespace {

constexpr std::uint64_t kDefaultThreads = 32;

struct StoreBinding {
  using Value = io::Store;
  static constexpr const char* kName = "Store";
  static constexpr const char* kTypePath = "_larkspur::Store";
  static constexpr bool kThreadBound = false;
  static PyTypeObject* type();
};

constexpr Signature kNew{
    "Store", "__new__", {"dir", "shards", "rows_per_shard", "width", "threads"}, 4};
constexpr Signature kFetch{"Store", "fetch", {"rowids"}, 1};
constexpr Signature kFetchOne{"Store", "fetch_one", {"rowid"}, 1};

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
  return fetch_into_bytes(store, rowids);
}

Result<PyRef> fetch_one(const io::Store& store, std::uint64_t rowid) {
  return fetch_into_bytes(store, std::span<const std::uint64_t>(&rowid, 1));
}

Status close(const io::Store& /*store*/) { return ok(); }

std::uint64_t width(const io::Store& store) { return store.geometry().width; }

// The exact product as a Python int, whatever its size.
Result<PyRef> total_rows(const io::Store& store) {
  const WideCount total = store.geometry().total_rows();
  PyRef low = PyRef::steal(PyLong_FromUnsignedLongLong(total.low));
  if (!low) return Error::raised();
  if (total.high == 0) return low;
  PyRef high = PyRef::steal(PyLong_FromUnsignedLongLong(total.high));
  PyRef shift = PyRef::steal(PyLong_FromLong(64));
  if (!high || !shift) return Error::raised();
  PyRef shifted = PyRef::steal(PyNumber_Lshift(high.get(), shift.get()));
  if (!shifted) return Error::raised();
  PyRef sum = PyRef::steal(PyNumber_Or(shifted.get(), low.get()));
  if (!sum) return Error::raised();
  return sum;
}

PyMethodDef kMethods[] = {
    {"fetch", as_cfunction(method<StoreBinding, kFetch, &fetch>),
     METH_FASTCALL | METH_KEYWORDS, "fetch($self, rowids)\n--\n\n"},
    {"fetch_one", as_cfunction(method<StoreBinding, kFetchOne, &fetch_one>),
     METH_FASTCALL | METH_KEYWORDS, "fetch_one($self, rowid)\n--\n\n"},
    {"close", as_cfunction(method_noargs<StoreBinding, &close>), METH_NOARGS,
     "close($self)\n--\n\n"
     "Compatibility no-op for the ctypes API (resources are dropped with the "
     "object)."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kGetters[] = {
    {"width", &getter<StoreBinding, &width>, nullptr, "", nullptr},
    {"total_rows", &getter<StoreBinding, &total_rows>, nullptr, "", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const ClassSpec kSpec{
    "builtins.Store",
    "Store(dir, shards, rows_per_shard, width, threads=...)\n--\n\n",
    sizeof(Instance<io::Store>),
    &constructor<StoreBinding, kNew, &make>,
    &dealloc<StoreBinding>,
    kMethods,
    kGetters,
};

TypeCell cell(kSpec);

PyTypeObject* StoreBinding::type() { return cell.get(); }

}  // namespace

PyTypeObject* create_store_type() { return cell.create(); }

}  // namespace larkspur::py
