// Table: opening, reads counted into statistics, and the closing protocol.
#include "larkspur-io/src/engine/table.h"

#include "larkspur-core/src/base/str_cat.h"
#include "larkspur-io/src/fetch/fetch_plan.h"

namespace larkspur::io {

// `users` counts calls holding the files, times two, plus one once close()
// was called: whoever takes it to exactly 1 (closed, no users) closes the
// files, once.
struct Table::State {
  State(Store s, std::string p) : store(std::move(s)), path(std::move(p)) {}

  Store store;
  std::string path;
  mutable TableStats stats;
  std::atomic<std::uint64_t> users{0};
  std::atomic<bool> files_closed{false};

  void close_files() {
    if (!files_closed.exchange(true, std::memory_order_acq_rel)) store.close();
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
                          std::uint64_t threads) {
  Result<ShardGeometry> geometry = resolve_geometry(dir, given);
  if (!geometry) return std::move(geometry).error();
  Result<Store> store = Store::open(dir, *geometry, threads);
  if (!store) return std::move(store).error();
  auto state = std::make_unique<State>(std::move(*store), std::string(dir));
  return Table(std::move(state));
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
  struct Leave {
    State& s;
    ~Leave() { s.leave(); }
  } const leave{s};
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
  Status st = gather_rows(s.store, rowids, out, &report);
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
