// Reading the requested rows of one shard, page run by page run: from the
// page cache only, or waiting for the device with reads queued ahead.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

#include "larkspur-core/src/base/result.h"
#include "larkspur-io/src/fetch/store.h"

namespace larkspur::io {

// One requested row: its global id and its position in the request.
struct RowRef {
  std::uint64_t rowid;
  std::uint64_t pos;

  friend bool operator<(const RowRef& a, const RowRef& b) {
    return a.rowid != b.rowid ? a.rowid < b.rowid : a.pos < b.pos;
  }
};

// Read system calls made, bytes they returned and distinct rows read, as
// one thread counts them.
struct ReadTally {
  std::uint64_t calls = 0;
  std::uint64_t bytes = 0;
  std::uint64_t rows = 0;
};

// ReadTally summed over threads.
struct ReadCounts {
  std::atomic<std::uint64_t> calls{0};
  std::atomic<std::uint64_t> bytes{0};
  std::atomic<std::uint64_t> rows{0};  // distinct rows read

  void add(const ReadTally& t) {
    calls.fetch_add(t.calls, std::memory_order_relaxed);
    bytes.fetch_add(t.bytes, std::memory_order_relaxed);
    rows.fetch_add(t.rows, std::memory_order_relaxed);
  }
};

// The first read error of a call; readers stop once one is recorded.
class CallErrors {
 public:
  void record(Error error);
  bool failed() const { return failed_.load(std::memory_order_relaxed); }
  std::optional<Error> take();

 private:
  std::atomic<bool> failed_{false};
  std::mutex mu_;
  std::optional<Error> first_;  // guarded by mu_
};

// Reads the rows of one shard, sorted by (row id, position), into the
// output, in runs: the rows that start in one 4096-byte page, read with one
// call and copied to each of their positions (repeats of a row are read
// once).
//
// read(): while rows come from the page cache, each run is one read that
// may not wait for the device. Once a run is not cached, the reader
// switches to cold reading for good: it keeps the next 16 runs queued with
// the device and then waits for each run in turn. One reader walking one
// file in order could otherwise keep only one request in flight.
//
// read_cached(): only what the page cache holds, never waiting; the rows
// of runs it could not read go to `missed`.
class GroupReader {
 public:
  // `cold` is shared by the groups one thread reads in turn, and so is
  // `tally`, which the reads are counted in.
  GroupReader(const Store& store, std::uint64_t shard, std::byte* out,
              bool& cold, ReadTally& tally);
  GroupReader(const GroupReader&) = delete;
  GroupReader& operator=(const GroupReader&) = delete;
  ~GroupReader() = default;

  // Fails with the first read error, or EINVAL when a row lies at byte
  // 2^63 or beyond of its shard.
  Status read(std::span<const RowRef> rows, const CallErrors& errors);

  // Appends the rows it could not read from the page cache to `missed`.
  // Once misses outnumber hits by more than two, the request is taken to be
  // cold and the rest goes to `missed` untried. With `probe`, the reader is
  // first asked whether the page cache holds a run, and a run it does not
  // hold is missed without a read: a cached read of an uncached page starts
  // the device read on this thread before it reports the miss. Fails as
  // read() does; rows the device would be needed for are not an error.
  Status read_cached(std::span<const RowRef> rows, std::vector<RowRef>& missed,
                     bool probe = false);

 private:
  struct Run {
    std::size_t end;   // rows [begin, end) start in one page
    std::uint64_t lo;  // offset of the first row
    std::uint64_t hi;  // offset of the last row
    bool one_row;      // all of them the same row
  };
  enum class Fill { kFilled, kMissed };

  bool offset_is_valid(const RowRef& r) const;
  std::uint64_t offset_of(const RowRef& r) const;
  std::byte* dest(const RowRef& r) const;
  Run run_at(std::size_t i) const;
  void queue_ahead(std::size_t from);
  Result<Fill> fill(std::span<std::byte> buf, std::uint64_t offset,
                    std::size_t next, bool wait);
  Result<Fill> read_run(std::size_t i, const Run& run, bool wait);
  void count(std::uint64_t bytes) {
    ++tally_.calls;
    tally_.bytes += bytes;
  }

  const PositionalReader& reader_;
  const int fd_;
  const std::uint64_t width_;
  const std::uint64_t base_;       // the global row id of the shard's row 0
  const std::uint64_t file_base_;  // where the shard's row 0 lies in its file
  const std::uint64_t limit_;      // where its extent ends there
  std::byte* const out_;
  bool& cold_;
  ReadTally& tally_;
  std::span<const RowRef> rows_;
  std::size_t ahead_ = 0;   // rows before this have been prefetched
  std::size_t queued_ = 0;  // prefetched runs not yet read
};

}  // namespace larkspur::io
