// Table: a table directory opened once for the engine, its row reads with
// statistics, and its life across threads and close().
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "larkspur-core/src/base/blocking.h"
#include "larkspur-core/src/base/result.h"
#include "larkspur-core/src/base/unique_fd.h"
#include "larkspur-io/src/checkpoint/checkpoint.h"
#include "larkspur-io/src/engine/stats.h"
#include "larkspur-io/src/engine/table_meta.h"
#include "larkspur-io/src/fetch/store.h"

namespace larkspur::io {

class RingEngine;
class RowCache;
class RowJob;
struct CacheCounts;

// How a Table reads rows from the device.
struct EngineOptions {
  // Reads kept in flight on the Table's io_uring ring; 0: no ring, the
  // worker pool reads.
  std::uint32_t queue_depth = 128;
  // Read through O_DIRECT, bypassing the page cache (needs the ring):
  // never, always, or (kAuto) when the shard files together are larger
  // than the memory the page cache could hold: MemTotal, or the cgroup's
  // memory.max when that is lower.
  enum class Direct { kOff, kOn, kAuto };
  Direct direct = Direct::kOff;
  // Bytes of whole rows (and their bookkeeping) kept in memory by the
  // Table's RowCache; 0: none.
  std::uint64_t cache_bytes = 0;
};

// The bytes the page cache could hold, as Direct::kAuto counts them.
std::uint64_t cache_memory();

// The shard files of a table directory (named as Store names them), its
// geometry and its statistics. Any thread may use a Table, several at once.
// close() may come at any time: calls that have begun finish with the
// files, which are closed when the last of them ends; calls after close()
// fail with "the Table is closed".
class Table {
  struct State;

 public:
  // One opening of the shard files, and where they are found (table.cc).
  struct Files;
  struct Source;

  // Opens `dir` with the geometry resolve_geometry settles; `threads`
  // bounds the pool jobs of one call, as Store's does.
  // With a queue depth, the Table starts its ring engine; where io_uring
  // cannot be used, the worker pool reads instead and backend_reason()
  // says why. A direct Table needs the ring and O_DIRECT: it fails without
  // them (EINVAL where the file system refuses O_DIRECT).
  static Result<Table> open(std::string_view dir, const GeometryParts& given,
                            std::uint64_t threads,
                            const EngineOptions& engine = {});

  // Opens the table the shard tensors `names` of the checkpoint at `path`
  // make, as checkpoint_table finds them (`width` for 1-D tensors of
  // bytes): each shard's rows are read in place, inside its file. Then as
  // open().
  static Result<Table> open_checkpoint(std::string_view path,
                                       const ShardTensorNames& names,
                                       std::optional<std::uint64_t> width,
                                       std::uint64_t threads,
                                       const EngineOptions& engine = {});

  Table(Table&& other) noexcept;
  Table& operator=(Table&& other) noexcept;
  Table(const Table&) = delete;
  Table& operator=(const Table&) = delete;
  ~Table();

  const std::string& path() const;
  // "io_uring" or "threads", and why not the ring when it was asked for
  // (it could not be made, or it failed later: the pool reads from then
  // on).
  const char* backend() const;
  std::string backend_reason() const;
  // Whether rows are read through O_DIRECT.
  bool direct() const;
  const ShardGeometry& geometry() const;
  TableStats& stats() const;

  // Fills `out` (exactly rowids.size() × width bytes) with the rows, as
  // gather_rows does, and counts the call. Fails with IndexError text
  // "row id {r} is out of range for a table of {n} rows" before any read
  // when a row lies outside the table, with "the Table is closed", or with
  // the first read error; `out` is then partly written. `heads` is 16
  // when the rows come 16 a token (the cache counts them by order), else 0.
  // `hook`, when given, is told before the call makes a system call or
  // waits: a call served wholly from the row cache never is.
  Status gather(std::span<const std::uint64_t> rowids, std::span<std::byte> out,
                std::uint32_t heads = 0, BlockingHook* hook = nullptr) const;

  // A gather whose device reads go on after submit() returns.
  class Pending {
   public:
    Pending(Pending&& other) noexcept;
    Pending& operator=(Pending&&) = delete;
    Pending(const Pending&) = delete;
    Pending& operator=(const Pending&) = delete;
    // Waits for the reads still in flight (they write into the output),
    // counts them, and lets the Table close.
    ~Pending();

    bool done() const;
    // Whether done, waiting up to `timeout` (none: for ever).
    bool wait(
        std::optional<std::chrono::nanoseconds> timeout = std::nullopt) const;
    // Once done: ok, the first read error, or ECANCELED.
    Status result() const;
    // Drops the reads not yet started; the output is then unspecified.
    void cancel() const;
    // Readable once done.
    int event_fd() const;

   private:
    friend class Table;
    Pending(State* state, std::shared_ptr<Files> files,
            std::shared_ptr<RowJob> job, Status immediate, UniqueFd ready);

    State* state_;  // holds the Table open; null once moved from
    std::shared_ptr<Files> files_;  // the files its reads use
    std::shared_ptr<RowJob> job_;
    Status immediate_;
    UniqueFd ready_;  // done at once: an eventfd already readable
  };

  // As gather(), but returns once the rows in the page cache are in `out`
  // and the rest are queued on the Table's ring: `out` must stay valid
  // until the Pending is done and destroyed. Without a usable ring the
  // whole gather runs here and the Pending is done at once. Fails as
  // gather() does before any read.
  Result<Pending> submit(std::span<const std::uint64_t> rowids,
                         std::span<std::byte> out,
                         std::uint32_t heads = 0) const;

  // Queues reads of the rows of `rowids` that warm the page cache, behind
  // every gather, and returns at once: how many rows were queued. None when
  // the Table has no ring here, reads direct, or already has
  // RingEngine::kBackgroundRows prefetched rows waiting. Fails as gather()
  // does before any read.
  Result<std::uint64_t> prefetch(std::span<const std::uint64_t> rowids) const;

  // The row cache's budget in bytes (0: none), the rows it can hold and
  // holds, and its counts in this process.
  std::uint64_t cache_bytes() const;
  struct CacheState {
    std::uint64_t capacity_rows = 0;
    std::uint64_t rows_held = 0;
  };
  CacheState cache_state() const;
  CacheCounts cache_counts() const;
  void reset_cache_counts() const;

  // Whether the shard files changed since the Table opened them (or last
  // refreshed): another file renamed into place at a shard's name, or a
  // change in place (size, modification or change time). The Table then
  // reads the files now at those names (calls already reading finish with
  // the old ones), its row cache emptied, and true is returned. A
  // checkpoint's headers (and index) are read again, and its tensors found
  // again by name. Fails, keeping the files it had, with "the Table is
  // closed", when the table's metadata (or tensors) now give another
  // geometry, or with an open error.
  Result<bool> refresh() const;

  // Records a call of `kind` that took `ns` nanoseconds.
  void record_latency(TableStats::Kind kind, std::uint64_t ns) const;

  // Closes the files now, or when the last call in progress ends. Any
  // number of calls, from any thread.
  void close() const;

 private:
  explicit Table(std::unique_ptr<State> state);
  static Result<Table> open_source(Source source, std::uint64_t threads,
                                   const EngineOptions& engine);
  struct Reading {
    bool ring = false;
    bool direct = false;
  };
  Reading reading() const;

  std::unique_ptr<State> state_;
};

}  // namespace larkspur::io
