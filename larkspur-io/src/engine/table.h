// Table: a table directory opened once for the engine, its row reads with
// statistics, and its life across threads and close().
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "larkspur-core/src/base/result.h"
#include "larkspur-io/src/engine/stats.h"
#include "larkspur-io/src/engine/table_meta.h"
#include "larkspur-io/src/fetch/store.h"

namespace larkspur::io {

// How a Table reads rows from the device.
struct EngineOptions {
  // Reads kept in flight on the Table's io_uring ring; 0: no ring, the
  // worker pool reads.
  std::uint32_t queue_depth = 128;
  // Read through O_DIRECT, bypassing the page cache (needs the ring).
  bool direct = false;
};

// The shard files of a table directory (named as Store names them), its
// geometry and its statistics. Any thread may use a Table, several at once.
// close() may come at any time: calls that have begun finish with the
// files, which are closed when the last of them ends; calls after close()
// fail with "the Table is closed".
class Table {
 public:
  // Opens `dir` with the geometry resolve_geometry settles; `threads`
  // bounds the pool jobs of one call, as Store's does.
  // With a queue depth, the Table starts its ring engine; where io_uring
  // cannot be used, the worker pool reads instead and backend_reason()
  // says why. A direct Table needs the ring and O_DIRECT: it fails without
  // them (EINVAL where the file system refuses O_DIRECT).
  static Result<Table> open(std::string_view dir, const GeometryParts& given,
                            std::uint64_t threads,
                            const EngineOptions& engine = {});

  Table(Table&& other) noexcept;
  Table& operator=(Table&& other) noexcept;
  Table(const Table&) = delete;
  Table& operator=(const Table&) = delete;
  ~Table();

  const std::string& path() const;
  // "io_uring" or "threads", and why not the ring when it was asked for.
  const char* backend() const;
  const std::string& backend_reason() const;
  const ShardGeometry& geometry() const;
  TableStats& stats() const;

  // Fills `out` (exactly rowids.size() × width bytes) with the rows, as
  // gather_rows does, and counts the call. Fails with IndexError text
  // "row id {r} is out of range for a table of {n} rows" before any read
  // when a row lies outside the table, with "the Table is closed", or with
  // the first read error; `out` is then partly written.
  Status gather(std::span<const std::uint64_t> rowids,
                std::span<std::byte> out) const;

  // Records a call of `kind` that took `ns` nanoseconds.
  void record_latency(TableStats::Kind kind, std::uint64_t ns) const;

  // Closes the files now, or when the last call in progress ends. Any
  // number of calls, from any thread.
  void close() const;

 private:
  struct State;
  explicit Table(std::unique_ptr<State> state);

  std::unique_ptr<State> state_;
};

}  // namespace larkspur::io
