// Table: opening, reads counted into statistics, and the closing protocol.
#include "larkspur-io/src/engine/table.h"

#include <sys/eventfd.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <limits>
#include <mutex>
#include <string_view>
#include <utility>
#include <vector>

#include "larkspur-core/src/base/file.h"
#include "larkspur-core/src/base/memory.h"
#include "larkspur-core/src/base/scope_exit.h"
#include "larkspur-core/src/base/str_cat.h"
#include "larkspur-io/src/cache/row_cache.h"
#include "larkspur-io/src/engine/ring_engine.h"
#include "larkspur-io/src/fetch/fetch_plan.h"
#include "larkspur-io/src/uring/uring_page_reader.h"

namespace larkspur::io {
namespace {

// Waited-for device reads of up to this many rows run on the calling
// thread's own ring: after 5 ms idle (a model's step), 16 cold direct rows
// took 350 against 453 us through the engine thread, and 64 cold buffered
// rows 755 against 925 us through the pool.
constexpr std::size_t kHereRows = 64;

// The device reads of a Table through its ring engine: one job per call,
// waited for; a small one on the calling thread's own ring instead.
class EngineReads final : public DeviceReads {
 public:
  explicit EngineReads(RingEngine& engine) : engine_(engine) {}
  Status read(std::span<const RowRef> refs, std::byte* out,
              ReadTally& tally) override {
    // Without a ring of its own (it could not be made), the thread hands
    // its reads to the engine.
    if (refs.size() <= kHereRows && calling_thread_ring()) {
      const RingRowsOptions& o = engine_.options();
      return read_rows_here(refs, engine_.store().geometry(), o.direct,
                            o.max_span, engine_.read_fds(), out, tally,
                            engine_.store().extents());
    }
    Result<std::shared_ptr<RowJob>> job =
        RowJob::make(std::vector<RowRef>(refs.begin(), refs.end()), out);
    if (!job) return std::move(job).error();
    engine_.submit(*job);
    (*job)->wait();
    const ReadTally t = (*job)->tally();
    tally.calls += t.calls;
    tally.bytes += t.bytes;
    tally.rows += t.rows;
    return (*job)->result();
  }
  bool direct() const override { return engine_.options().direct; }

 private:
  RingEngine& engine_;
};

// The device reads of a submitted gather: queued as one job, not waited for.
// With `probe`, the cached pass asks the page cache before each read: a
// cached read of an uncached page would start the device read on the
// calling thread (about 12 µs a row here), which a submit must not wait for.
class QueuedReads final : public DeviceReads {
 public:
  QueuedReads(RingEngine& engine, bool probe,
              std::function<void(const Status&)> on_finish = nullptr)
      : engine_(engine), probe_(probe), on_finish_(std::move(on_finish)) {}
  Status read(std::span<const RowRef> refs, std::byte* out,
              ReadTally& /*tally*/) override {
    Result<std::shared_ptr<RowJob>> job =
        RowJob::make(std::vector<RowRef>(refs.begin(), refs.end()), out);
    if (!job) return std::move(job).error();
    if (on_finish_) (*job)->on_finish(std::move(on_finish_));
    job_ = *job;
    engine_.submit(*job);
    return ok();
  }
  bool direct() const override { return engine_.options().direct; }
  bool probe_cache() const override { return probe_; }
  std::shared_ptr<RowJob> take() { return std::move(job_); }

 private:
  RingEngine& engine_;
  bool probe_;
  std::function<void(const Status&)> on_finish_;
  std::shared_ptr<RowJob> job_;
};

// The value of "{key} {n} kB" in /proc/meminfo's text, in bytes.
std::optional<std::uint64_t> meminfo_bytes(std::string_view text,
                                           std::string_view key) {
  const std::size_t at = text.find(key);
  if (at == std::string_view::npos) return std::nullopt;
  std::uint64_t kib = 0;
  bool digits = false;
  for (std::size_t i = at + key.size(); i < text.size(); ++i) {
    const char c = text[i];
    if (c >= '0' && c <= '9') {
      kib = kib * 10 + static_cast<std::uint64_t>(c - '0');
      digits = true;
    } else if (digits || c == '\n') {
      break;
    }
  }
  if (!digits) return std::nullopt;
  return kib * 1024;
}

// The bytes of rows the shard files hold: their sizes, or of a shard
// inside a larger file, its extent's part of it.
std::uint64_t table_bytes(const Store& store) {
  std::uint64_t sum = 0;
  for (std::uint64_t i = 0; i < store.shard_count(); ++i) {
    struct stat st {};
    if (::fstat(store.fd(i), &st) != 0) continue;
    const auto size = static_cast<std::uint64_t>(st.st_size);
    const ShardExtent& e = store.extents()[i];
    if (size > e.offset) sum += std::min(size - e.offset, e.length);
  }
  return sum;
}

// What says a shard file changed: its size and its modification and
// change times (the last cannot be set back by hand).
// A shard file's identity (device and inode: a file renamed into place
// is another) and what says it changed in place: its size and its
// modification and change times (the last cannot be set back by hand).
struct FileStamp {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::uint64_t size = 0;
  std::int64_t mtime_ns = 0;
  std::int64_t ctime_ns = 0;
  friend bool operator==(const FileStamp&, const FileStamp&) = default;
};

Result<std::vector<FileStamp>> stamp_files(const Store& store) {
  std::vector<FileStamp> stamps(store.shard_count());
  for (std::uint64_t i = 0; i < store.shard_count(); ++i) {
    struct stat st {};
    if (::fstat(store.fd(i), &st) != 0) return Error::from_errno(errno);
    stamps[i] = {static_cast<std::uint64_t>(st.st_dev),
                 static_cast<std::uint64_t>(st.st_ino),
                 static_cast<std::uint64_t>(st.st_size),
                 st.st_mtim.tv_sec * 1'000'000'000 + st.st_mtim.tv_nsec,
                 st.st_ctim.tv_sec * 1'000'000'000 + st.st_ctim.tv_nsec};
  }
  return stamps;
}

Result<UniqueFd> ready_eventfd() {
  const int fd = ::eventfd(1, EFD_CLOEXEC | EFD_NONBLOCK);
  if (fd < 0) return Error::from_errno(errno);
  return UniqueFd(fd);
}

}  // namespace

// One opening of the shard files: their descriptors, the engines reading
// them and what they were when opened. refresh() puts a new one in place;
// the calls that began with the old one finish with it, and its files
// close when the last of them ends.
struct Table::Files {
  Files(Store s, std::vector<FileStamp> st)
      : store(std::move(s)), stamps(std::move(st)) {}
  Files(const Files&) = delete;
  Files& operator=(const Files&) = delete;
  ~Files() {
    // The engines read the files: stopped first.
    current.store(nullptr, std::memory_order_release);
    engines.clear();
    store.close();
  }

  Store store;
  const std::vector<FileStamp> stamps;
  // The engines started on these files: the first, then one per forked
  // child that read them (a parent's engine has no thread in the child).
  // Empty without a ring.
  std::vector<std::unique_ptr<RingEngine>> engines;  // guarded by engines_mu
  // The last of them; null without a ring.
  std::atomic<RingEngine*> current{nullptr};
  std::mutex engines_mu;

  // The engine this process reads with, started here on first use in a
  // forked child; null without a ring, or once it failed.
  RingEngine* engine_here() {
    RingEngine* engine = current.load(std::memory_order_acquire);
    if (engine == nullptr || engine->started_here()) {
      return engine != nullptr && engine->usable_here() ? engine : nullptr;
    }
    const std::lock_guard lock(engines_mu);
    engine = current.load(std::memory_order_acquire);
    if (!engine->started_here()) {
      Result<std::unique_ptr<RingEngine>> started =
          RingEngine::start(store, engine->options());
      if (!started) return nullptr;  // this child reads on the pool
      engine = started->get();
      engines.push_back(std::move(*started));
      current.store(engine, std::memory_order_release);
    }
    return engine->usable_here() ? engine : nullptr;
  }
};

// Where a Table's rows are, found again by refresh(): a table directory
// with the geometry parts the caller gave, or a checkpoint's shard tensors.
struct Table::Source {
  std::string path;
  GeometryParts given;
  std::optional<ShardTensorNames> tensors;
  std::optional<std::uint64_t> width;
};

namespace {

// The rows of `source` as its files are now: their geometry and their
// Store. `fresh` (a refresh) takes a directory's geometry from its metadata
// alone where it can: the parts given at open may no longer agree with it.
struct Located {
  ShardGeometry geometry;
  Store store;
};

Result<Located> locate(const Table::Source& source, std::uint64_t threads,
                       bool fresh) {
  if (source.tensors) {
    Result<CheckpointTable> table =
        checkpoint_table(source.path, *source.tensors, source.width);
    if (!table) return std::move(table).error();
    std::vector<std::string> paths;
    std::vector<ShardExtent> extents;
    paths.reserve(table->shards.size());
    extents.reserve(table->shards.size());
    for (ShardFile& shard : table->shards) {
      paths.push_back(std::move(shard.path));
      extents.push_back(shard.extent);
    }
    Result<Store> store =
        Store::open_files(paths, std::move(extents), table->geometry, threads);
    if (!store) return std::move(store).error();
    return Located{table->geometry, std::move(*store)};
  }
  Result<ShardGeometry> geometry =
      fresh ? resolve_geometry(source.path, GeometryParts{})
            : resolve_geometry(source.path, source.given);
  if (fresh && !geometry)
    geometry = resolve_geometry(source.path, source.given);
  if (!geometry) return std::move(geometry).error();
  Result<Store> store = Store::open(source.path, *geometry, threads);
  if (!store) return std::move(store).error();
  return Located{*geometry, std::move(*store)};
}

// Takes the opened shard files and, with `ring`, starts their engine: when
// it cannot be made, `why` says so (and the pool reads), unless the ring
// must read direct.
Result<std::shared_ptr<Table::Files>> open_files(
    Store store, const std::optional<RingRowsOptions>& ring, bool ring_needed,
    std::string* why) {
  Result<std::vector<FileStamp>> stamps = stamp_files(store);
  if (!stamps) return std::move(stamps).error();
  auto files =
      std::make_shared<Table::Files>(std::move(store), std::move(*stamps));
  if (!ring) return files;
  Result<std::unique_ptr<RingEngine>> started =
      RingEngine::start(files->store, *ring);
  if (started) {
    files->current.store(started->get(), std::memory_order_relaxed);
    files->engines.push_back(std::move(*started));
  } else if (ring_needed) {
    return std::move(started).error();
  } else if (why != nullptr) {
    *why = "io_uring: " + os_error_text(started.error().sys_errno());
  }
  return files;
}

}  // namespace

// `users` counts calls holding the Table, times two, plus one once close()
// was called: whoever takes it to exactly 1 (closed, no users) lets the
// files go, once.
struct Table::State {
  State(Source src, ShardGeometry geo, std::uint64_t t)
      : source(std::move(src)), geometry(geo), threads(t) {}

  Source source;
  ShardGeometry geometry;
  std::uint64_t threads;
  // How the engines read, when the Table reads with a ring; whether it
  // must (direct reads).
  std::optional<RingRowsOptions> ring;
  bool ring_needed = false;
  // The files calls read now; guarded by files_mu. Null once closed.
  std::shared_ptr<Files> current_files;
  std::mutex files_mu;
  std::mutex refresh_mu;  // one refresh() at a time
  std::string backend_reason;
  // Whether the last submit missed the page cache: the next one then asks
  // it first (a hint; races between calls are harmless).
  std::atomic<bool> submits_miss{false};
  mutable TableStats stats;
  // The row cache's budget, the caches made (the first, then one per
  // forked child that used the Table: a parent's cache memory is not
  // inherited) and the last of them; none without a budget.
  std::uint64_t cache_bytes = 0;
  std::vector<std::unique_ptr<RowCache>> caches;
  std::atomic<RowCache*> current_cache{nullptr};
  std::mutex caches_mu;
  std::atomic<std::uint64_t> users{0};
  std::atomic<bool> files_closed{false};

  void close_files() {
    if (!files_closed.exchange(true, std::memory_order_acq_rel)) {
      std::shared_ptr<Files> last;
      {
        const std::lock_guard lock(files_mu);
        last = std::move(current_files);
      }
      last.reset();  // the engines stop before the cache goes
      current_cache.store(nullptr, std::memory_order_release);
      caches.clear();
    }
  }

  // A hold on the files for one call; false once the Table is closed.
  bool enter() {
    const std::uint64_t before = users.fetch_add(2, std::memory_order_acquire);
    if ((before & 1) == 0) return true;
    leave();
    return false;
  }
  void leave() {
    if (users.fetch_sub(2, std::memory_order_acq_rel) == 3) close_files();
  }

  // The files a call holding the Table reads (never null for one).
  std::shared_ptr<Files> files_now() {
    const std::lock_guard lock(files_mu);
    return current_files;
  }

  // Counts a gather of `rowids` and holds the files for it: fails, counted
  // as an error and holding nothing, when the Table is closed or a row
  // lies outside it.
  Status begin_gather(std::span<const std::uint64_t> rowids);

  // A submit's device reads queued on `engine` (`on_finish` run as they
  // end): the page cache's rows are in `out` on return, and `job` is the
  // queued job, if any. A job that went out before a failure has ended.
  Status queue(Files& files, RingEngine& engine,
               std::span<const std::uint64_t> rowids, std::span<std::byte> out,
               std::function<void(const Status&)> on_finish,
               std::shared_ptr<RowJob>& job);
  // queue() for the rows `cache` does not hold; the held ones are copied
  // now, the others copied and admitted as their reads end.
  Status queue_through_cache(Files& files, RingEngine& engine, RowCache& cache,
                             std::span<const std::uint64_t> rowids,
                             std::span<std::byte> out, std::uint32_t heads,
                             std::shared_ptr<RowJob>& job);

  // A gather's reads, through the row cache when there is one, waiting for
  // them. For a call holding the files.
  Status read_rows(std::span<const std::uint64_t> rowids,
                   std::span<std::byte> out, std::uint32_t heads,
                   BlockingHook* hook = nullptr);

  // The row cache of this process, made here on first use in a forked
  // child; null without a budget (or when a child cannot map one: it then
  // reads without). For a call holding the files.
  RowCache* cache_here() {
    RowCache* c = current_cache.load(std::memory_order_acquire);
    if (c == nullptr || c->made_here()) return c;
    const std::lock_guard lock(caches_mu);
    c = current_cache.load(std::memory_order_acquire);
    if (!c->made_here()) {
      Result<std::unique_ptr<RowCache>> made =
          RowCache::make(cache_bytes, geometry.width);
      if (!made) return nullptr;
      c = made->get();
      caches.push_back(std::move(*made));
      current_cache.store(c, std::memory_order_release);
    }
    return c;
  }
};

Table::Table(std::unique_ptr<State> state) : state_(std::move(state)) {}
Table::Table(Table&&) noexcept = default;
Table& Table::operator=(Table&&) noexcept = default;
Table::~Table() = default;

std::uint64_t cache_memory() {
  std::uint64_t bytes = std::numeric_limits<std::uint64_t>::max();
  if (Result<std::string> info = read_file("/proc/meminfo", 1 << 16)) {
    if (std::optional<std::uint64_t> total =
            meminfo_bytes(*info, "MemTotal:")) {
      bytes = *total;
    }
  }
  // cgroup v2, as a container sees its own group at the mount's root.
  if (Result<std::string> max = read_file("/sys/fs/cgroup/memory.max", 64)) {
    std::uint64_t limit = 0;
    bool digits = false;
    for (const char c : *max) {
      if (c < '0' || c > '9') break;
      limit = limit * 10 + static_cast<std::uint64_t>(c - '0');
      digits = true;
    }
    if (digits) bytes = std::min(bytes, limit);
  }
  return bytes;
}

Result<Table> Table::open(std::string_view dir, const GeometryParts& given,
                          std::uint64_t threads, const EngineOptions& engine) {
  return open_source(Source{std::string(dir), given, {}, {}}, threads, engine);
}

Result<Table> Table::open_checkpoint(std::string_view path,
                                     const ShardTensorNames& names,
                                     std::optional<std::uint64_t> width,
                                     std::uint64_t threads,
                                     const EngineOptions& engine) {
  return open_source(Source{std::string(path), {}, names, width}, threads,
                     engine);
}

Result<Table> Table::open_source(Source source, std::uint64_t threads,
                                 const EngineOptions& engine) {
  using Direct = EngineOptions::Direct;
  if (engine.direct == Direct::kOn && engine.queue_depth == 0) {
    return Error::invalid_argument("direct reads need a queue depth");
  }
  Result<Located> located = locate(source, threads, false);
  if (!located) return std::move(located).error();
  const ShardGeometry geometry = located->geometry;
  auto state = std::make_unique<State>(std::move(source), geometry, threads);
  if (engine.cache_bytes > 0 && geometry.width > 0) {
    Result<std::unique_ptr<RowCache>> made =
        RowCache::make(engine.cache_bytes, geometry.width);
    if (!made) {
      if (made.error().code() != ErrorCode::kIo ||
          made.error().sys_errno() != EINVAL) {
        return std::move(made).error();
      }
      return Error::invalid_argument(str_cat(
          "cache_bytes=", engine.cache_bytes,
          " is too small to hold one row of ", geometry.width, " bytes"));
    }
    state->cache_bytes = engine.cache_bytes;
    state->current_cache.store(made->get(), std::memory_order_relaxed);
    state->caches.push_back(std::move(*made));
  }
  if (engine.queue_depth > 0 && geometry.width > 0) {
    RingRowsOptions options;
    options.depth = engine.queue_depth;
    options.direct = engine.direct == Direct::kOn;
    state->ring = options;
    state->ring_needed = options.direct;
  }
  Result<std::shared_ptr<Files>> files =
      open_files(std::move(located->store), state->ring, state->ring_needed,
                 &state->backend_reason);
  if (!files) return std::move(files).error();
  if (engine.direct == Direct::kAuto && (*files)->engine_here() != nullptr &&
      table_bytes((*files)->store) > cache_memory()) {
    // Larger than memory: direct reads, where the file system has them.
    RingRowsOptions options = *state->ring;
    options.direct = true;
    Result<Located> again = locate(state->source, threads, false);
    if (again && again->geometry == geometry) {
      if (Result<std::shared_ptr<Files>> direct =
              open_files(std::move(again->store), options, true, nullptr)) {
        state->ring = options;
        files = std::move(direct);
      }
    }
  }
  state->current_files = std::move(*files);
  return Table(std::move(state));
}

// Whether a call would read with a ring now, and whether direct; neither
// once closed.
Table::Reading Table::reading() const {
  State& s = *state_;
  if (!s.enter()) return {};
  const ScopeExit leave([&s] { s.leave(); });
  const std::shared_ptr<Files> files = s.files_now();
  const RingEngine* engine = files->engine_here();
  return {engine != nullptr, engine != nullptr && engine->options().direct};
}

const char* Table::backend() const {
  return reading().ring ? "io_uring" : "threads";
}

bool Table::direct() const { return reading().direct; }

std::string Table::backend_reason() const {
  State& s = *state_;
  if (s.enter()) {
    const ScopeExit leave([&s] { s.leave(); });
    const std::shared_ptr<Files> files = s.files_now();
    const RingEngine* engine = files->current.load(std::memory_order_acquire);
    if (engine != nullptr && engine->started_here()) {
      if (std::optional<Error> failed = engine->failure()) {
        return failed->text();
      }
    }
  }
  return s.backend_reason;
}

const std::string& Table::path() const { return state_->source.path; }
const ShardGeometry& Table::geometry() const { return state_->geometry; }
TableStats& Table::stats() const { return state_->stats; }

namespace {

// IndexError text for the first row id past the table, before any read.
Status check_range(std::span<const std::uint64_t> rowids,
                   const ShardGeometry& geometry) {
  // shards × rows_per_shard fits 64 bits for any table whose rows can be
  // named (row ids are 64-bit); a larger product has no row outside it.
  const WideCount total = geometry.total_rows();
  if (total.high != 0) return ok();
  for (const std::uint64_t r : rowids) {
    if (r >= total.low) {
      return Error::out_of_range(str_cat("row id ", r,
                                         " is out of range for a table of ",
                                         total.low, " rows"));
    }
  }
  return ok();
}

void count_reads(TableStats& stats, std::uint64_t inline_rows,
                 std::uint64_t worker_rows, std::uint64_t calls,
                 std::uint64_t bytes) {
  stats.unique_rows.fetch_add(inline_rows + worker_rows,
                              std::memory_order_relaxed);
  stats.rows_inline.fetch_add(inline_rows, std::memory_order_relaxed);
  stats.rows_by_workers.fetch_add(worker_rows, std::memory_order_relaxed);
  stats.read_calls.fetch_add(calls, std::memory_order_relaxed);
  stats.bytes_read.fetch_add(bytes, std::memory_order_relaxed);
}

// gather_rows, counted into the statistics.
Status read_counted(const Store& store, TableStats& stats,
                    std::span<const std::uint64_t> rowids,
                    std::span<std::byte> out, DeviceReads* device) {
  GatherReport report;
  Status st = gather_rows(store, rowids, out, &report, device);
  count_reads(stats, report.inline_rows, report.worker_rows, report.read_calls,
              report.bytes_read);
  if (!st) stats.errors.fetch_add(1, std::memory_order_relaxed);
  return st;
}

}  // namespace

Status Table::State::begin_gather(std::span<const std::uint64_t> rowids) {
  stats.calls.fetch_add(1, std::memory_order_relaxed);
  stats.rows_requested.fetch_add(rowids.size(), std::memory_order_relaxed);
  if (!enter()) {
    stats.errors.fetch_add(1, std::memory_order_relaxed);
    return Error::invalid_argument("the Table is closed");
  }
  if (Status in_range = check_range(rowids, geometry); !in_range) {
    stats.errors.fetch_add(1, std::memory_order_relaxed);
    leave();
    return in_range;
  }
  return ok();
}

namespace {

// Whether `out` shares memory with `rowids`: the cache writes rows before
// it has read every id, so those ids are copied first.
bool overlaps(std::span<const std::uint64_t> rowids,
              std::span<const std::byte> out) {
  const auto* ids = reinterpret_cast<const std::byte*>(rowids.data());
  return !rowids.empty() && !out.empty() &&
         std::less<>()(ids, out.data() + out.size()) &&
         std::less<>()(out.data(), ids + rowids.size_bytes());
}

}  // namespace

Status Table::gather(std::span<const std::uint64_t> rowids,
                     std::span<std::byte> out, std::uint32_t heads,
                     BlockingHook* hook) const {
  State& s = *state_;
  if (Status began = s.begin_gather(rowids); !began) return began;
  const ScopeExit leave([&s] { s.leave(); });
  if (s.cache_bytes != 0 && overlaps(rowids, out)) {
    const std::vector<std::uint64_t> copy(rowids.begin(), rowids.end());
    return s.read_rows(copy, out, heads, hook);
  }
  return s.read_rows(rowids, out, heads, hook);
}

Status Table::State::read_rows(std::span<const std::uint64_t> rowids,
                               std::span<std::byte> out, std::uint32_t heads,
                               BlockingHook* hook) {
  const auto block = [hook] {
    if (hook != nullptr) hook->about_to_block();
  };
  // A cache made here needs no system call to find; a forked child's
  // first call makes its own.
  RowCache* cache = current_cache.load(std::memory_order_acquire);
  if (cache == nullptr || !cache->made_here()) {
    block();
    cache = cache_here();
  }
  std::optional<RowCache::Call> call;
  if (cache != nullptr) {
    call.emplace(*cache, rowids, out, heads, true);
    if (!call->blocks()) {
      // Every row was held: nothing to read, publish or wait for.
      static_cast<void>(call->finish(ok(), {}));
      return ok();
    }
  }
  block();
  // Held for the call: a refresh() meanwhile leaves it its files.
  const std::shared_ptr<Files> files = files_now();
  RingEngine* engine = files->engine_here();
  // Direct reads go to a ring. So do the buffered misses of a small
  // gather (on the calling thread's ring); a larger one's go to the pool:
  // its 32 synchronous readers beat one buffered ring here (167k against
  // 140k cold rows/s), since the kernel hands a buffered ring read that
  // must wait to a worker of its own.
  const auto read = [&](std::span<const std::uint64_t> ids,
                        std::span<std::byte> into) {
    std::optional<EngineReads> device;
    if (engine != nullptr &&
        (engine->options().direct || ids.size() <= kHereRows)) {
      device.emplace(*engine);
    }
    return read_counted(files->store, stats, ids, into,
                        device ? &*device : nullptr);
  };
  if (!call) return read(rowids, out);

  const std::uint64_t width = geometry.width;
  const std::vector<std::uint64_t> ids = call->miss_ids();
  // Every byte is written by the read before it is used.
  const ScratchBytes scratch(ids.size() * width);
  const std::span<std::byte> rows = scratch.span();
  const Status st = ids.empty() ? ok() : read(ids, rows);
  Result<std::vector<std::uint64_t>> again = call->finish(st, rows);
  if (!again) return std::move(again).error();
  if (again->empty()) return ok();
  // Rows another call was reading, whose read failed: read here.
  std::vector<std::uint64_t> more(again->size());
  for (std::size_t i = 0; i < more.size(); ++i) more[i] = rowids[(*again)[i]];
  std::vector<std::byte> got(more.size() * width);
  if (Status st2 = read(more, got); !st2) return st2;
  for (std::size_t i = 0; i < more.size(); ++i) {
    std::memcpy(out.data() + (*again)[i] * width, got.data() + i * width,
                width);
  }
  return ok();
}

Result<Table::Pending> Table::submit(std::span<const std::uint64_t> rowids,
                                     std::span<std::byte> out,
                                     std::uint32_t heads) const {
  State& s = *state_;
  if (Status began = s.begin_gather(rowids); !began) {
    return std::move(began).error();
  }
  // Handed to the Pending on success.
  bool held = true;
  const ScopeExit leave([&s, &held] {
    if (held) s.leave();
  });
  std::shared_ptr<RowJob> job;
  Status st = ok();
  std::vector<std::uint64_t> copy;
  if (s.cache_bytes != 0 && overlaps(rowids, out)) {
    copy.assign(rowids.begin(), rowids.end());
    rowids = copy;
  }
  // Held by the Pending: its reads use these files' engine.
  std::shared_ptr<Files> files = s.files_now();
  RingEngine* engine = files->engine_here();
  RowCache* cache = s.cache_here();
  if (engine != nullptr && cache != nullptr) {
    st =
        s.queue_through_cache(*files, *engine, *cache, rowids, out, heads, job);
  } else if (engine != nullptr) {
    st = s.queue(*files, *engine, rowids, out, nullptr, job);
  } else {
    st = s.read_rows(rowids, out, heads);
  }
  if (!st) return std::move(st).error();
  UniqueFd ready;
  if (!job) {
    Result<UniqueFd> fd = ready_eventfd();
    if (!fd) return std::move(fd).error();
    ready = std::move(*fd);
  }
  held = false;
  return Pending(&s, std::move(files), std::move(job), ok(), std::move(ready));
}

Status Table::State::queue(Files& files, RingEngine& engine,
                           std::span<const std::uint64_t> rowids,
                           std::span<std::byte> out,
                           std::function<void(const Status&)> on_finish,
                           std::shared_ptr<RowJob>& job) {
  QueuedReads queued(engine, submits_miss.load(std::memory_order_relaxed),
                     std::move(on_finish));
  Status st = read_counted(files.store, stats, rowids, out, &queued);
  job = queued.take();
  submits_miss.store(job != nullptr, std::memory_order_relaxed);
  if (!st && job) {
    // The cached pass failed after the job went out: its reads write into
    // `out`, so they end before the error does.
    job->cancel();
    job->wait();
  }
  return st;
}

Status Table::State::queue_through_cache(Files& files, RingEngine& engine,
                                         RowCache& cache,
                                         std::span<const std::uint64_t> rowids,
                                         std::span<std::byte> out,
                                         std::uint32_t heads,
                                         std::shared_ptr<RowJob>& job) {
  // The misses are read into rows of the call's own, then copied to `out`
  // and admitted as the reads end, before the job is done. This call never
  // waits: rows another call is reading, it reads too.
  struct Fill {
    Fill(RowCache& c, std::span<const std::uint64_t> ids,
         std::span<std::byte> into, std::uint32_t h)
        : call(c, ids, into, h, false) {}
    RowCache::Call call;
    std::optional<ScratchBytes> rows;
  };
  auto fill = std::make_shared<Fill>(cache, rowids, out, heads);
  const std::vector<std::uint64_t> ids = fill->call.miss_ids();
  fill->rows.emplace(ids.size() * geometry.width);
  Status st = ok();
  if (!ids.empty()) {
    st = queue(
        files, engine, ids, fill->rows->span(),
        [fill](const Status& read) {
          static_cast<void>(fill->call.finish(read, fill->rows->span()));
        },
        job);
  }
  // Without a job (every miss was in the page cache), or failed before one
  // went out: the rows are published here.
  if (!job) {
    Result<std::vector<std::uint64_t>> done =
        fill->call.finish(st, fill->rows->span());
    if (st && !done) st = std::move(done).error();
  }
  return st;
}

Result<std::uint64_t> Table::prefetch(
    std::span<const std::uint64_t> rowids) const {
  State& s = *state_;
  if (!s.enter()) return Error::invalid_argument("the Table is closed");
  const ScopeExit leave([&s] { s.leave(); });
  if (Status in_range = check_range(rowids, s.geometry); !in_range) {
    return std::move(in_range).error();
  }
  // The engine stops when these files close, after the prefetch is read.
  const std::shared_ptr<Files> files = s.files_now();
  RingEngine* engine = files->engine_here();
  if (rowids.empty() || engine == nullptr || engine->options().direct) {
    return std::uint64_t{0};
  }
  std::vector<RowRef> refs(rowids.size());
  for (std::size_t k = 0; k < rowids.size(); ++k) refs[k] = {rowids[k], k};
  std::sort(refs.begin(), refs.end());
  Result<std::shared_ptr<RowJob>> job = RowJob::make(std::move(refs), nullptr);
  if (!job) return std::move(job).error();
  // The engine, stopped only when the files close, reads it before that.
  if (!engine->submit_background(*job)) return std::uint64_t{0};
  return std::uint64_t{rowids.size()};
}

Table::Pending::Pending(State* state, std::shared_ptr<Files> files,
                        std::shared_ptr<RowJob> job, Status immediate,
                        UniqueFd ready)
    : state_(state),
      files_(std::move(files)),
      job_(std::move(job)),
      immediate_(std::move(immediate)),
      ready_(std::move(ready)) {}

Table::Pending::Pending(Pending&& other) noexcept
    : state_(std::exchange(other.state_, nullptr)),
      files_(std::move(other.files_)),
      job_(std::move(other.job_)),
      immediate_(std::move(other.immediate_)),
      ready_(std::move(other.ready_)) {}

Table::Pending::~Pending() {
  if (state_ == nullptr) return;
  // A forked child's copy: the parent waits for the reads and counts them.
  if (job_ && !job_->foreign()) {
    job_->wait();
    const ReadTally t = job_->tally();
    count_reads(state_->stats, 0, t.rows, t.calls, t.bytes);
    if (!job_->result()) {
      state_->stats.errors.fetch_add(1, std::memory_order_relaxed);
    }
  }
  job_.reset();
  files_.reset();  // may stop the engine: its job is gone
  state_->leave();
}

bool Table::Pending::done() const { return !job_ || job_->done(); }

bool Table::Pending::wait(
    std::optional<std::chrono::nanoseconds> timeout) const {
  return !job_ || job_->wait(timeout);
}

Status Table::Pending::result() const {
  return job_ ? job_->result() : immediate_;
}

void Table::Pending::cancel() const {
  if (job_) job_->cancel();
}

int Table::Pending::event_fd() const {
  return job_ ? job_->event_fd() : ready_.get();
}

std::uint64_t Table::cache_bytes() const { return state_->cache_bytes; }

Table::CacheState Table::cache_state() const {
  State& s = *state_;
  CacheState c;
  if (!s.enter()) return c;
  const ScopeExit leave([&s] { s.leave(); });
  if (const RowCache* cache = s.cache_here()) {
    c.capacity_rows = cache->capacity_rows();
    c.rows_held = cache->rows_held();
  }
  return c;
}

CacheCounts Table::cache_counts() const {
  State& s = *state_;
  if (!s.enter()) return {};
  const ScopeExit leave([&s] { s.leave(); });
  const RowCache* cache = s.cache_here();
  return cache != nullptr ? cache->counts() : CacheCounts{};
}

void Table::reset_cache_counts() const {
  State& s = *state_;
  if (!s.enter()) return;
  const ScopeExit leave([&s] { s.leave(); });
  if (RowCache* cache = s.cache_here()) cache->reset_counts();
}

Result<bool> Table::refresh() const {
  State& s = *state_;
  if (!s.enter()) return Error::invalid_argument("the Table is closed");
  const ScopeExit leave([&s] { s.leave(); });
  const std::lock_guard one_at_a_time(s.refresh_mu);
  // The files as they are now: reopened by name, so that a table published
  // by renaming new files into place is read from then on.
  Result<Located> now = locate(s.source, s.threads, true);
  if (!now) return std::move(now).error();
  if (now->geometry != s.geometry) {
    return Error::invalid_argument(
        str_cat("the table in ", s.source.path,
                " now has another geometry: open a new Table to read it"));
  }
  Result<std::vector<FileStamp>> stamps = stamp_files(now->store);
  if (!stamps) return std::move(stamps).error();
  const std::shared_ptr<Files> old = s.files_now();
  if (*stamps == old->stamps &&
      std::ranges::equal(now->store.extents(), old->store.extents())) {
    return false;
  }
  Result<std::shared_ptr<Files>> fresh =
      open_files(std::move(now->store), s.ring, s.ring_needed, nullptr);
  if (!fresh) return std::move(fresh).error();
  {
    const std::lock_guard lock(s.files_mu);
    s.current_files = std::move(*fresh);
  }
  // Rows read from the old files, or read on while this ran, are not
  // served again.
  if (RowCache* cache = s.cache_here()) cache->clear();
  return true;
}

void Table::record_latency(TableStats::Kind kind, std::uint64_t ns) const {
  state_->stats.latency[kind].record(ns);
}

void Table::close() const {
  State& s = *state_;
  const std::uint64_t before = s.users.fetch_or(1, std::memory_order_acq_rel);
  if (before == 0) s.close_files();
}

}  // namespace larkspur::io
