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

// The shard files of a table directory (named as Store names them), its
// geometry and its statistics. Any thread may use a Table, several at once.
// close() may come at any time: calls that have begun finish with the
// files, which are closed when the last of them ends; calls after close()
// fail with "the Table is closed".
class Table {
 public:
  // Opens `dir` with the geometry resolve_geometry settles; `threads`
  // bounds the pool jobs of one call, as Store's does.
  static Result<Table> open(std::string_view dir, const GeometryParts& given,
                            std::uint64_t threads);

  Table(Table&& other) noexcept;
  Table& operator=(Table&& other) noexcept;
  Table(const Table&) = delete;
  Table& operator=(const Table&) = delete;
  ~Table();

  const std::string& path() const;
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
