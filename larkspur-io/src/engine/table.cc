// Table: opening, reads counted into statistics, and the closing protocol.
#include "larkspur-io/src/engine/table.h"

#include "larkspur-core/src/base/scope_exit.h"
#include "larkspur-core/src/base/str_cat.h"
#include "larkspur-io/src/engine/ring_engine.h"
#include "larkspur-io/src/fetch/fetch_plan.h"

namespace larkspur::io {
namespace {

// The device reads of a Table through its ring engine: one job per call,
// waited for.
class EngineReads final : public DeviceReads {
 public:
  explicit EngineReads(RingEngine& engine) : engine_(engine) {}
  Status read(std::span<const RowRef> refs, std::byte* out,
              ReadTally& tally) override {
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

}  // namespace

// `users` counts calls holding the files, times two, plus one once close()
// was called: whoever takes it to exactly 1 (closed, no users) closes the
// files, once.
struct Table::State {
  State(Store s, std::string p) : store(std::move(s)), path(std::move(p)) {}

  Store store;
  std::string path;
  // Stopped before the files close; null without a ring.
  std::unique_ptr<RingEngine> engine;
  std::string backend_reason;
  mutable TableStats stats;
  std::atomic<std::uint64_t> users{0};
  std::atomic<bool> files_closed{false};

  void close_files() {
    if (!files_closed.exchange(true, std::memory_order_acq_rel)) {
      engine.reset();
      store.close();
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
};

Table::Table(std::unique_ptr<State> state) : state_(std::move(state)) {}
Table::Table(Table&&) noexcept = default;
Table& Table::operator=(Table&&) noexcept = default;
Table::~Table() = default;

Result<Table> Table::open(std::string_view dir, const GeometryParts& given,
                          std::uint64_t threads, const EngineOptions& engine) {
  if (engine.direct && engine.queue_depth == 0) {
    return Error::invalid_argument("direct reads need a queue depth");
  }
  Result<ShardGeometry> geometry = resolve_geometry(dir, given);
  if (!geometry) return std::move(geometry).error();
  Result<Store> store = Store::open(dir, *geometry, threads);
  if (!store) return std::move(store).error();
  auto state = std::make_unique<State>(std::move(*store), std::string(dir));
  if (engine.queue_depth > 0 && geometry->width > 0) {
    RingRowsOptions options;
    options.depth = engine.queue_depth;
    options.direct = engine.direct;
    Result<std::unique_ptr<RingEngine>> started =
        RingEngine::start(state->store, options);
    if (started) {
      state->engine = std::move(*started);
    } else if (engine.direct) {
      return std::move(started).error();
    } else {
      state->backend_reason =
          "io_uring: " + os_error_text(started.error().sys_errno());
    }
  }
  return Table(std::move(state));
}

const char* Table::backend() const {
  return state_->engine ? "io_uring" : "threads";
}
const std::string& Table::backend_reason() const {
  return state_->backend_reason;
}

const std::string& Table::path() const { return state_->path; }
const ShardGeometry& Table::geometry() const {
  return state_->store.geometry();
}
TableStats& Table::stats() const { return state_->stats; }

Status Table::gather(std::span<const std::uint64_t> rowids,
                     std::span<std::byte> out) const {
  State& s = *state_;
  const ShardGeometry& geometry = s.store.geometry();
  TableStats& stats = s.stats;
  stats.calls.fetch_add(1, std::memory_order_relaxed);
  stats.rows_requested.fetch_add(rowids.size(), std::memory_order_relaxed);
  if (!s.enter()) {
    stats.errors.fetch_add(1, std::memory_order_relaxed);
    return Error::invalid_argument("the Table is closed");
  }
  const ScopeExit leave([&s] { s.leave(); });
  // shards × rows_per_shard fits 64 bits for any table whose rows can be
  // named (row ids are 64-bit); a larger product has no row outside it.
  const WideCount total = geometry.total_rows();
  if (total.high == 0) {
    for (const std::uint64_t r : rowids) {
      if (r >= total.low) {
        stats.errors.fetch_add(1, std::memory_order_relaxed);
        return Error::out_of_range(str_cat("row id ", r,
                                           " is out of range for a table of ",
                                           total.low, " rows"));
      }
    }
  }
  GatherReport report;
  // A forked child has no engine thread of its parent's: its pool reads.
  std::optional<EngineReads> device;
  if (s.engine && s.engine->usable_here()) device.emplace(*s.engine);
  Status st = gather_rows(s.store, rowids, out, &report,
                          device ? &*device : nullptr);
  stats.unique_rows.fetch_add(report.inline_rows + report.worker_rows,
                              std::memory_order_relaxed);
  stats.rows_inline.fetch_add(report.inline_rows, std::memory_order_relaxed);
  stats.rows_by_workers.fetch_add(report.worker_rows,
                                  std::memory_order_relaxed);
  stats.read_calls.fetch_add(report.read_calls, std::memory_order_relaxed);
  stats.bytes_read.fetch_add(report.bytes_read, std::memory_order_relaxed);
  if (!st) stats.errors.fetch_add(1, std::memory_order_relaxed);
  return st;
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
