// larkspur.Table: a table directory opened once; rows gathered into the
// caller's memory, from row ids or straight from tokens.
#include <time.h>  // NOLINT(modernize-deprecated-headers): POSIX clock_gettime

#include <array>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "larkspur-core/src/base/str_cat.h"
#include "larkspur-io/src/cache/cache_size.h"
#include "larkspur-io/src/cache/row_cache.h"
#include "larkspur-io/src/checkpoint/checkpoint.h"
#include "larkspur-io/src/engine/table.h"
#include "larkspur-io/src/fetch/fetch_plan.h"
#include "larkspur-keygen/src/lib/rowids.h"
#include "larkspur-python/src/binding/gil.h"
#include "larkspur-python/src/engine/lookup.h"
#include "larkspur-python/src/engine/members.h"

namespace larkspur::py {
namespace {

constexpr std::uint64_t kDefaultThreads = 32;

std::uint64_t now_ns() {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::uint64_t>(ts.tv_sec) * 1'000'000'000U +
         static_cast<std::uint64_t>(ts.tv_nsec);
}

// A count given as a keyword: absent or None for "from the metadata".
Result<std::optional<std::uint64_t>> count_of(Obj given, const char* name) {
  if (given.is_none()) return std::optional<std::uint64_t>();
  std::optional<std::uint64_t> v = to_u64(given.ptr);
  if (!v) {
    wrap_type_error(name);
    return Error::raised();
  }
  return v;
}

constexpr std::uint64_t kMaxQueueDepth = 4096;

// cache_bytes: an int, or a str such as "4GiB".
Result<std::uint64_t> cache_budget(Obj given) {
  if (given.is_none()) return std::uint64_t{0};
  if (PyUnicode_Check(given.ptr) != 0) {
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(given.ptr, &size);
    if (text == nullptr) return Error::raised();
    if (std::optional<std::uint64_t> bytes = io::parse_byte_size(
            std::string_view(text, static_cast<std::size_t>(size)))) {
      return *bytes;
    }
    return Error::invalid_argument(
        str_cat("cache_bytes must be a number of bytes, such as 1073741824 "
                "or \"1GiB\" (units B, kB, MB, GB, TB, KiB, MiB, GiB, TiB): "
                "got \"",
                std::string_view(text, static_cast<std::size_t>(size)), "\""));
  }
  Result<std::optional<std::uint64_t>> bytes = count_of(given, "cache_bytes");
  if (!bytes) return std::move(bytes).error();
  return **bytes;
}

// queue_depth, direct and cache_bytes, as Table() and from_safetensors()
// take them.
Result<io::EngineOptions> engine_options(Obj queue_depth, Obj direct,
                                         Obj cache_bytes) {
  io::EngineOptions engine;
  if (!queue_depth.is_none()) {
    Result<std::optional<std::uint64_t>> depth =
        count_of(queue_depth, "queue_depth");
    if (!depth) return std::move(depth).error();
    if (**depth > kMaxQueueDepth) {
      return Error::invalid_argument(
          str_cat("queue_depth must be at most ", kMaxQueueDepth));
    }
    engine.queue_depth = static_cast<std::uint32_t>(**depth);
  }
  if (!direct.is_none() && PyUnicode_Check(direct.ptr) != 0) {
    if (PyUnicode_CompareWithASCIIString(direct.ptr, "auto") != 0) {
      return Error::invalid_argument("direct must be False, True or \"auto\"");
    }
    engine.direct = io::EngineOptions::Direct::kAuto;
  } else if (!direct.is_none()) {
    const int truth = PyObject_IsTrue(direct.ptr);
    if (truth < 0) return Error::raised();
    if (truth == 1) engine.direct = io::EngineOptions::Direct::kOn;
  }
  Result<std::uint64_t> budget = cache_budget(cache_bytes);
  if (!budget) return std::move(budget).error();
  engine.cache_bytes = *budget;
  return engine;
}

Result<io::Table> make(std::string path, Obj shards, Obj rows_per_shard,
                       Obj width, Obj queue_depth, Obj direct,
                       Obj cache_bytes) {
  io::GeometryParts given;
  const std::array<std::optional<std::uint64_t>*, 3> slots = {
      &given.shards, &given.rows_per_shard, &given.width};
  const std::array<Obj, 3> args = {shards, rows_per_shard, width};
  constexpr std::array<const char*, 3> kNames = {"shards", "rows_per_shard",
                                                 "width"};
  for (std::size_t i = 0; i < 3; ++i) {
    Result<std::optional<std::uint64_t>> v = count_of(args[i], kNames[i]);
    if (!v) return std::move(v).error();
    *slots[i] = *v;
  }
  Result<io::EngineOptions> engine =
      engine_options(queue_depth, direct, cache_bytes);
  if (!engine) return std::move(engine).error();
  return blocking(
      [&] { return io::Table::open(path, given, kDefaultThreads, *engine); });
}

// A str (a path or an os.PathLike's); false with TypeError set otherwise.
Result<std::string> path_text(Obj path) {
  PyRef text = PyRef::steal(PyOS_FSPath(path.ptr));
  if (!text) return Error::raised();
  if (PyUnicode_Check(text.get()) == 0) {
    PyErr_SetString(PyExc_TypeError,
                    "path must be a str or an os.PathLike of str");
    return Error::raised();
  }
  std::optional<std::string> utf8 = to_text(text.get());
  if (!utf8) return Error::raised();
  return std::move(*utf8);
}

// tensors: a str with "{i}" (a pattern), another str (one tensor), or a
// sequence of str.
Result<io::ShardTensorNames> tensor_names(Obj tensors) {
  io::ShardTensorNames names;
  if (PyUnicode_Check(tensors.ptr) != 0) {
    std::optional<std::string> text = to_text(tensors.ptr);
    if (!text) return Error::raised();
    if (text->find("{i}") != std::string::npos) {
      names.pattern = std::move(*text);
    } else {
      names.names.push_back(std::move(*text));
    }
    return names;
  }
  PyRef items = PyRef::steal(PySequence_Check(tensors.ptr) != 0 &&
                                     PyBytes_Check(tensors.ptr) == 0
                                 ? PySequence_Tuple(tensors.ptr)
                                 : nullptr);
  if (!items) {
    if (PyErr_Occurred() == nullptr) {
      PyErr_SetString(PyExc_TypeError,
                      "tensors must be a str (with {i} for the shard number) "
                      "or a sequence of str");
    }
    return Error::raised();
  }
  const Py_ssize_t n = PyTuple_Size(items.get());
  for (Py_ssize_t k = 0; k < n; ++k) {
    PyObject* item = PyTuple_GetItem(items.get(), k);
    std::optional<std::string> text =
        item != nullptr && PyUnicode_Check(item) != 0 ? to_text(item)
                                                      : std::nullopt;
    if (!text) {
      if (PyErr_Occurred() == nullptr) {
        PyErr_SetString(PyExc_TypeError, "tensors must be str");
      }
      return Error::raised();
    }
    names.names.push_back(std::move(*text));
  }
  if (names.names.empty()) {
    return Error::invalid_argument("tensors names no tensor");
  }
  return names;
}

Result<io::Table> from_safetensors(Obj path, Obj tensors, Obj width,
                                   Obj queue_depth, Obj direct,
                                   Obj cache_bytes) {
  Result<std::string> where = path_text(path);
  if (!where) return std::move(where).error();
  Result<io::ShardTensorNames> names = tensor_names(tensors);
  if (!names) return std::move(names).error();
  Result<std::optional<std::uint64_t>> row_bytes = count_of(width, "width");
  if (!row_bytes) return std::move(row_bytes).error();
  Result<io::EngineOptions> engine =
      engine_options(queue_depth, direct, cache_bytes);
  if (!engine) return std::move(engine).error();
  return blocking([&] {
    return io::Table::open_checkpoint(*where, *names, *row_bytes,
                                      kDefaultThreads, *engine);
  });
}

// The output of `rows` rows: `out` checked, or a new uint8 array of
// `shape` + (width,).
Result<PyRef> output(const io::Table& table, Obj out, std::size_t rows,
                     std::vector<std::size_t> shape, HeldBuffer& held) {
  const std::uint64_t width = table.geometry().width;
  // More bytes than any buffer can hold: memory that cannot be had.
  Result<std::size_t> bytes = io::fetch_output_size(rows, width);
  if (!bytes) return Error::no_memory();
  if (!out.is_none()) {
    if (!writable_bytes(out.ptr, "out", *bytes, false, held)) {
      return Error::raised();
    }
    return PyRef::borrow(out.ptr);
  }
  shape.push_back(static_cast<std::size_t>(width));
  PyRef array = new_array(shape, "uint8", held);
  if (!array) return Error::raised();
  return array;
}

std::span<std::byte> bytes_of(const HeldBuffer& held) {
  return {static_cast<std::byte*>(held.view().buf),
          static_cast<std::size_t>(held.view().len)};
}

Result<PyRef> gather(const io::Table& table, Obj rowids, Obj out) {
  const std::uint64_t start = now_ns();
  IntArray ids;
  if (!read_ints(rowids.ptr, "rowids",
                 std::numeric_limits<std::uint64_t>::max(), ids)) {
    return Error::raised();
  }
  HeldBuffer held;
  Result<PyRef> result =
      output(table, out, ids.values.size(), {ids.values.size()}, held);
  if (!result) return result;
  const std::span<std::byte> into = bytes_of(held);
  Status st = blocking_when_needed([&](BlockingHook& hook) {
    return table.gather(ids.values, into, 0, &hook);
  });
  table.record_latency(io::TableStats::kGather, now_ns() - start);
  if (!st) return std::move(st).error();
  return result;
}

// Row ids of up to this many rows are hashed holding the interpreter lock
// (a few microseconds): a lookup served from the row cache then never
// hands the lock over.
constexpr std::size_t kHashHeldRows = 4096;

Result<PyRef> lookup(const io::Table& table, Obj tokens, Obj history, Obj out) {
  const std::uint64_t start = now_ns();
  TokenBatch batch;
  if (!read_tokens(tokens.ptr, history, batch)) return Error::raised();
  std::vector<std::size_t> shape;
  if (batch.batched) shape.push_back(batch.sequences);
  shape.push_back(batch.steps);
  shape.push_back(keygen::kTableCount);
  HeldBuffer held;
  Result<PyRef> result = output(table, out, batch.rows(), shape, held);
  if (!result) return result;
  const std::span<std::byte> into = bytes_of(held);
  Status st = blocking_when_needed([&](BlockingHook& hook) {
    // Hashing a large batch lets other threads run.
    if (batch.rows() > kHashHeldRows) hook.about_to_block();
    // The row ids live only for the call, in memory the thread keeps.
    thread_local std::vector<std::uint64_t> ids;
    ids.resize(batch.rows());
    write_rowids(batch, std::as_writable_bytes(std::span(ids)));
    Status read = table.gather(ids, into, keygen::kTableCount, &hook);
    if (ids.capacity() > (std::size_t{1} << 20))
      std::vector<std::uint64_t>().swap(ids);
    return read;
  });
  table.record_latency(io::TableStats::kLookup, now_ns() - start);
  if (!st) return std::move(st).error();
  return result;
}

// Table.submit: the rows of tokens (with their history) or of row ids, as
// lookup() or gather() give them, read on while the caller goes on.
// The rows a submit or prefetch names, tokens (with history) or rowids=,
// and the shape of their output.
struct NamedRows {
  IntArray ids;
  std::vector<std::uint64_t> made;
  std::vector<std::size_t> shape;
  std::span<const std::uint64_t> all;
  std::uint32_t heads = 0;  // 16 when named by tokens
};

Status name_rows(Obj tokens, Obj rowids, Obj history, NamedRows& rows) {
  if (tokens.is_none() == rowids.is_none()) {
    return Error::invalid_argument("give tokens or rowids= (one of them)");
  }
  if (!rowids.is_none()) {
    if (!history.is_none()) {
      return Error::invalid_argument("history= goes with tokens, not rowids=");
    }
    if (!read_ints(rowids.ptr, "rowids",
                   std::numeric_limits<std::uint64_t>::max(), rows.ids)) {
      return Error::raised();
    }
    rows.all = rows.ids.values;
    rows.shape.push_back(rows.all.size());
    return ok();
  }
  TokenBatch batch;
  if (!read_tokens(tokens.ptr, history, batch)) return Error::raised();
  if (batch.batched) rows.shape.push_back(batch.sequences);
  rows.shape.push_back(batch.steps);
  rows.shape.push_back(keygen::kTableCount);
  rows.made.resize(batch.rows());
  write_rowids(batch, std::as_writable_bytes(std::span(rows.made)));
  rows.all = rows.made;
  rows.heads = keygen::kTableCount;
  return ok();
}

Result<PyRef> submit(const io::Table& table, Self self, Obj tokens, Obj rowids,
                     Obj history, Obj out) {
  NamedRows rows;
  if (Status named = name_rows(tokens, rowids, history, rows); !named) {
    return std::move(named).error();
  }
  auto held = std::make_unique<HeldBuffer>();
  Result<PyRef> result = output(table, out, rows.all.size(), rows.shape, *held);
  if (!result) return result;
  const std::span<std::byte> into = bytes_of(*held);
  Result<io::Table::Pending> pending =
      blocking([&] { return table.submit(rows.all, into, rows.heads); });
  if (!pending) return std::move(pending).error();
  PyObject* lookup = new_lookup(
      LookupValue{PyRef::borrow(self.ptr), std::move(*result), std::move(held),
                  PendingGather(std::move(*pending))});
  if (lookup == nullptr) return Error::raised();
  return PyRef::steal(lookup);
}

// Table.prefetch: the row ids of tokens (with history) or given.
Result<std::uint64_t> prefetch(const io::Table& table, Obj tokens, Obj rowids,
                               Obj history) {
  NamedRows rows;
  if (Status named = name_rows(tokens, rowids, history, rows); !named) {
    return std::move(named).error();
  }
  return table.prefetch(rows.all);
}

Result<PyRef> refresh(const io::Table& table) {
  Result<bool> changed = blocking([&] { return table.refresh(); });
  if (!changed) return std::move(changed).error();
  return PyRef::borrow(*changed ? Py_True : Py_False);
}

Status close(const io::Table& table) {
  table.close();
  return ok();
}

PyRef enter(const io::Table& /*table*/, Self self) {
  return PyRef::borrow(self.ptr);
}

Status exit(const io::Table& table, Obj /*type*/, Obj /*value*/,
            Obj /*traceback*/) {
  table.close();
  return ok();
}

// The row cache's part of stats(): its budget and size, its counters and
// its hit rates, overall and by n-gram order.
Result<PyRef> cache_stats(const io::Table& table) {
  PyRef cache = PyRef::steal(PyDict_New());
  if (!cache) return Error::raised();
  const io::CacheCounts c = table.cache_counts();
  const io::Table::CacheState held = table.cache_state();
  const auto rate = [](std::uint64_t hits, std::uint64_t misses) {
    return hits + misses == 0
               ? 0.0
               : static_cast<double>(hits) / static_cast<double>(hits + misses);
  };
  const std::array<std::pair<const char*, std::uint64_t>, 8> counts = {{
      {"budget_bytes", table.cache_bytes()},
      {"capacity_rows", held.capacity_rows},
      {"rows_held", held.rows_held},
      {"bytes_held", held.rows_held * table.geometry().width},
      {"hits", c.hits},
      {"misses", c.misses},
      {"admissions", c.admissions},
      {"evictions", c.evictions},
  }};
  for (const auto& [key, v] : counts) {
    if (!put_item(cache.get(), key, PyLong_FromUnsignedLongLong(v))) {
      return Error::raised();
    }
  }
  const std::array<std::pair<const char*, double>, 3> rates = {{
      {"hit_rate", rate(c.hits, c.misses)},
      {"hit_rate_heads_0_7", rate(c.hits_low, c.misses_low)},
      {"hit_rate_heads_8_15", rate(c.hits_high, c.misses_high)},
  }};
  for (const auto& [key, v] : rates) {
    if (!put_item(cache.get(), key, PyFloat_FromDouble(v)))
      return Error::raised();
  }
  return cache;
}

// A dict of counters, and per kind of call its latency percentiles in
// microseconds.
Result<PyRef> stats(const io::Table& table, Obj reset) {
  io::TableStats& s = table.stats();
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return Error::raised();
  const auto count = [&](const char* key, const std::atomic<std::uint64_t>& v) {
    return put_item(
        dict.get(), key,
        PyLong_FromUnsignedLongLong(v.load(std::memory_order_relaxed)));
  };
  if (!count("calls", s.calls) || !count("rows_requested", s.rows_requested) ||
      !count("unique_rows", s.unique_rows) ||
      !count("rows_inline", s.rows_inline) ||
      !count("rows_by_workers", s.rows_by_workers) ||
      !count("bytes_read", s.bytes_read) ||
      !count("read_calls", s.read_calls) || !count("errors", s.errors)) {
    return Error::raised();
  }
  // Why the worker pool reads when a ring was asked for; "" otherwise.
  const std::string why = table.backend_reason();
  if (!put_item(dict.get(), "backend", PyUnicode_FromString(table.backend())) ||
      !put_item(dict.get(), "backend_reason",
                PyUnicode_FromStringAndSize(
                    why.data(), static_cast<Py_ssize_t>(why.size())))) {
    return Error::raised();
  }
  PyRef latency = PyRef::steal(PyDict_New());
  if (!latency) return Error::raised();
  constexpr std::array<const char*, io::TableStats::kKinds> kKindNames = {
      "gather", "lookup"};
  for (std::size_t k = 0; k < io::TableStats::kKinds; ++k) {
    const io::LatencyHistogram::Summary h = s.latency[k].summary();
    PyRef one = PyRef::steal(PyDict_New());
    if (!one ||
        !put_item(one.get(), "calls", PyLong_FromUnsignedLongLong(h.count))) {
      return Error::raised();
    }
    const std::array<std::pair<const char*, std::uint64_t>, 4> values = {{
        {"p50_us", h.p50},
        {"p90_us", h.p90},
        {"p99_us", h.p99},
        {"max_us", h.max},
    }};
    for (const auto& [key, ns] : values) {
      if (!put_item(one.get(), key,
                    PyFloat_FromDouble(static_cast<double>(ns) / 1e3))) {
        return Error::raised();
      }
    }
    if (PyDict_SetItemString(latency.get(), kKindNames[k], one.get()) != 0) {
      return Error::raised();
    }
  }
  if (PyDict_SetItemString(dict.get(), "latency", latency.get()) != 0) {
    return Error::raised();
  }
  Result<PyRef> cache = cache_stats(table);
  if (!cache) return std::move(cache).error();
  if (PyDict_SetItemString(dict.get(), "cache", cache->get()) != 0) {
    return Error::raised();
  }
  if (!reset.is_none()) {
    const int truth = PyObject_IsTrue(reset.ptr);
    if (truth < 0) return Error::raised();
    if (truth == 1) {
      s.reset();
      table.reset_cache_counts();
    }
  }
  return dict;
}

std::uint64_t shards(const io::Table& t) { return t.geometry().shards; }
std::uint64_t rows_per_shard(const io::Table& t) {
  return t.geometry().rows_per_shard;
}
std::uint64_t width(const io::Table& t) { return t.geometry().width; }
std::string_view path(const io::Table& t) { return t.path(); }
std::string_view backend(const io::Table& t) { return t.backend(); }
std::uint64_t cache_bytes(const io::Table& t) { return t.cache_bytes(); }
PyRef direct(const io::Table& t) {
  return PyRef::borrow(t.direct() ? Py_True : Py_False);
}

// The exact product as a Python int, whatever its size.
WideCount total_rows(const io::Table& t) { return t.geometry().total_rows(); }

constexpr auto kTable = declare_class<io::Table>(
    kEngineNames, "Table",
    "A table directory of shard files (shard_{i}.bin, else badge_{i}.bin),\n"
    "opened once. The geometry comes from its larkspur-table.json, or from\n"
    "the keywords; a keyword that disagrees with the file is an error. Any\n"
    "thread may use a Table, several at once. close() (or the end of a\n"
    "with block) closes the files once the calls in progress end; later\n"
    "calls raise ValueError.\n\n"
    "Rows whose pages are in the page cache are read by the calling thread\n"
    "itself (with the interpreter lock released); the rest are read from\n"
    "the device on the Table's io_uring ring, queue_depth (default 128)\n"
    "reads deep, or by the worker pool with queue_depth=0 or where\n"
    "io_uring cannot be used (see backend). direct=True reads everything\n"
    "through O_DIRECT, bypassing the page cache; direct=\"auto\" does so\n"
    "when the shard files are larger than the memory the page cache could\n"
    "hold (MemTotal, or the cgroup's memory.max when lower).\n\n"
    "cache_bytes (an int, or a str such as \"4GiB\"; 0 for none) keeps hot\n"
    "rows in this process's memory, S3-FIFO over that many bytes (the\n"
    "rows and their index): a cached row is copied by the calling thread\n"
    "with no system call, and a row missed by several calls at once is\n"
    "read once. The cache assumes the shard files do not change while\n"
    "the Table is open; refresh() drops it when they did.",
    Threads::kAny,
    init<&make>({"path", kw("shards"), kw("rows_per_shard"), kw("width"),
                 kw("queue_depth"), kw("direct"), kw("cache_bytes")}),
    classmethod<&from_safetensors>(
        "from_safetensors",
        {"path", "tensors", kw("width"), kw("queue_depth"), kw("direct"),
         kw("cache_bytes")},
        "The table whose shards are tensors of a safetensors checkpoint,\n"
        "read in place: `path` is one .safetensors file, or a directory\n"
        "(with model.safetensors.index.json, else its *.safetensors files).\n"
        "`tensors` names the shard tensors in shard order: a str with {i}\n"
        "(\"model.ngram.shards.{i}.weight\" takes i = 0, 1, ... while such\n"
        "a tensor exists), one name, or a sequence of names. Each is 2-D\n"
        "(rows, row elements: a row is their bytes) or 1-D of 1-byte\n"
        "elements cut into rows of width= bytes; all have the first one's\n"
        "rows, but the last may have fewer (the rest read as zeros).\n"
        "queue_depth, direct and cache_bytes are as for Table(); refresh()\n"
        "reads the headers again."),
    method<&gather>(
        "gather", {"rowids", opt("out", "None")},
        "The rows of `rowids` (any integer array or sequence of ints): a new\n"
        "uint8 array of shape (N, width), or written into `out`, any\n"
        "writable C-contiguous buffer of exactly N x width bytes, which is\n"
        "returned. Bytes past the end of a short shard file are zeros. On\n"
        "failure the content of `out` is unspecified."),
    method<&lookup>(
        "lookup", {"tokens", opt("history", "None"), opt("out", "None")},
        "The rows of the 16 n-grams ending at each token, as\n"
        "gather(rowids(tokens, history)) but without the intermediate ids:\n"
        "shape (T, 16, width) for (T,) tokens, (B, T, 16, width) for (B, T)\n"
        "tokens with a (B, K) history."),
    method<&submit>(
        "submit",
        {opt("tokens", "None"), kw("rowids"), kw("history"), kw("out")},
        "As lookup(tokens, history, out) or gather(rowids, out), but returns\n"
        "a Lookup at once: the rows in the page cache are already in the\n"
        "output, the rest are being read on the Table's ring. The Lookup\n"
        "keeps `out` until then."),
    method<&prefetch>(
        "prefetch", {opt("tokens", "None"), kw("rowids"), kw("history")},
        "Queues reads that bring the rows of tokens (or of rowids=) into the\n"
        "page cache, behind every lookup, and returns at once: how many rows\n"
        "were queued. None without a ring, with direct reads, or while\n"
        "65536 prefetched rows are still waiting (prefetches are dropped,\n"
        "never lookups)."),
    method<&stats>(
        "stats", {opt("reset", "False")},
        "Counters of the calls so far, latency percentiles (in\n"
        "microseconds) per kind of call, and under \"cache\" the row\n"
        "cache's (hit rates by order count token calls only:\n"
        "heads 0-7 read bigrams, 8-15 trigrams); reset=True clears\n"
        "the counters."),
    method<&refresh>(
        "refresh", {},
        "Whether a shard file changed (size, modification or change time)\n"
        "since the Table was opened or last refreshed; if so the row cache\n"
        "is emptied, so that later reads see the files as they are now."),
    method<&close>("close", {},
                   "Closes the shard files (once the calls in progress end)."),
    method<&enter>("__enter__", {}),
    method<&exit>("__exit__", {"exc_type", "exc_value", "traceback"}),
    getter<&shards>("shards"), getter<&rows_per_shard>("rows_per_shard"),
    getter<&width>("width"), getter<&total_rows>("total_rows"),
    getter<&path>("path"),
    getter<&backend>("backend",
                     "\"io_uring\" when the Table reads from the device on "
                     "its own\nio_uring ring, \"threads\" when the worker "
                     "pool does."),
    getter<&cache_bytes>("cache_bytes",
                         "The row cache's budget in bytes; 0 without one."),
    getter<&direct>("direct",
                    "Whether rows are read through O_DIRECT, bypassing the "
                    "page cache."));

}  // namespace

ClassRef table_class() noexcept { return class_ref<kTable>(); }

}  // namespace larkspur::py
