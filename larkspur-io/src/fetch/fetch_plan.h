// Row fetch: the rows named by a list of global row ids, read in parallel
// from a Store's shard files into one buffer in request order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "larkspur-core/src/base/result.h"
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
Status fetch_rows(const Store& store, std::span<const std::uint64_t> rowids,
                  std::span<std::byte> out);

}  // namespace larkspur::io
