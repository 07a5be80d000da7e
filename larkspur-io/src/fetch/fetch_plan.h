// Row fetch: the rows named by a list of global row ids, read in parallel
// from a Store's shard files into one buffer in request order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "larkspur-core/src/base/result.h"
#include "larkspur-io/src/fetch/row_reader.h"
#include "larkspur-io/src/fetch/store.h"

namespace larkspur::io {

// rows × width in bytes, or the "capacity overflow" fault when that is
// 2^63 or more.
Result<std::size_t> fetch_output_size(std::uint64_t rows, std::uint64_t width);

// Fills `out` (rowids.size() × width bytes, as fetch_output_size says) with
// the rows named by `rowids`: row k of the request at byte k × width, each
// position written exactly once. Bytes of a row past the end of its shard
// file are zeros.
//
// The rows are grouped by shard; the groups, in shard order, are cut into
// at most max(threads, 1) jobs for run_jobs, and each job reads its shards
// in offset order, one read for the rows that share a 4096-byte page,
// keeping reads queued ahead once it finds its rows are not cached. An
// output of 32 MiB or more is advised for huge pages.
// Fails with "attempt to divide by zero" when rows_per_shard is 0 and the
// request is not empty, with the pool's fault when a row's shard is out of
// range ("index out of bounds: ..." on the pool), or with the first read
// error once all jobs have finished. A row's offset in its shard is
// local_row × width, exactly: from 2^63 on it is an error (EINVAL), as the
// kernel's for such an offset. Never touches Python; runs on any
// thread; `out` must stay valid until it returns.
//
// A request whose rows all lie inside the table is first served as
// gather_rows serves it (no hand-off when it is small and cached); if that
// fails in any way, the whole request is read again the pooled way.
Status fetch_rows(const Store& store, std::span<const std::uint64_t> rowids,
                  std::span<std::byte> out);

// Requests up to this many rows are served from the page cache by the
// calling thread alone. Measured on 2 CPUs (warm rows of 160 bytes, 2 us a
// read): waking a worker costs ~50 us, so splitting 32 rows is 2x slower,
// 128 rows break even and 1024 rows are 1.5x faster split.
inline constexpr std::size_t kCallerRows = 64;

// How one gather went: distinct rows served from the page cache without
// waiting and read from the device by pool jobs, read system calls and the
// bytes they returned.
struct GatherReport {
  std::uint64_t inline_rows = 0;
  std::uint64_t worker_rows = 0;
  std::uint64_t read_calls = 0;
  std::uint64_t bytes_read = 0;
};

// Reads rows from the device in place of pool jobs: `refs` sorted by
// (row id, position), all inside the table, written at out + position ×
// width; returns once no read it started is in flight.
class DeviceReads {
 public:
  virtual ~DeviceReads() = default;
  virtual Status read(std::span<const RowRef> refs, std::byte* out,
                      ReadTally& tally) = 0;
  // Whether the page cache is skipped (direct reads): then no row is
  // looked for there first.
  virtual bool direct() const = 0;
  // Whether the page cache is asked what it holds before each cached read
  // (GroupReader::read_cached's probe), when misses are expected.
  virtual bool probe_cache() const { return false; }
};

// Whether every row id is below shards × rows_per_shard.
bool inside_table(std::span<const std::uint64_t> rowids,
                  const ShardGeometry& geometry);

// Fills `out` (exactly rowids.size() × width bytes) with rows that all lie
// inside the table (rows_per_shard > 0), as fetch_rows would: past-EOF
// bytes are zeros, repeated rows are read once. First what the page cache
// holds, without waiting for the device: on the calling thread alone for
// up to kCallerRows rows, else on the calling thread and one pool job per
// further available CPU (the calling thread alone when there is no pool).
// Then pool jobs (at most threads()) read what was
// missed, from the device, or `device` when given (which, reading direct,
// reads every row). Fails with the first read error; `out` is then partly
// written. Fills `report` when given.
Status gather_rows(const Store& store, std::span<const std::uint64_t> rowids,
                   std::span<std::byte> out, GatherReport* report,
                   DeviceReads* device = nullptr);

}  // namespace larkspur::io
