// The rows of a request as ring reads: grouped into spans (rows that share
// or neighbour pages are read once), copied out of a finished read, and
// the descriptors and buffer slots those reads need.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "larkspur-core/src/base/result.h"
#include "larkspur-core/src/base/unique_fd.h"
#include "larkspur-io/src/fetch/row_reader.h"
#include "larkspur-io/src/fetch/store.h"

namespace larkspur::io {

struct RingRowsOptions {
  // Reads in flight at once.
  std::uint32_t depth = 128;
  // Read through O_DIRECT descriptors into 4096-aligned buffers, bypassing
  // the page cache; else through the Store's own descriptors.
  bool direct = false;
  // The most bytes one read covers when it joins the rows of neighbouring
  // pages (a single row wider than this still gets one read). Direct, cold,
  // rows of 160 bytes: 156k rows/s for 8,192 random rows and 174k for
  // 65,536 at 16 KiB, against 142k and 145k with no joining (4 KiB) and
  // 162k and 166k at 64 KiB.
  std::uint32_t max_span = 16384;
  // Register the shard descriptors with the ring, and its buffer slots as
  // a fixed buffer, where the kernel allows.
  bool register_files = true;
  bool fixed_buffers = true;
};

// One read: bytes [start, start + length) of a shard, holding the rows
// refs[first, end).
struct RowSpan {
  std::uint64_t shard;
  std::uint64_t start;
  std::uint32_t length;
  std::uint32_t first;
  std::uint32_t end;
};

// The spans of `refs` (sorted by (row id, position), every row inside the
// table): with `align`, each row's pages rounded out to 4096 bytes and rows
// whose pages overlap or touch joined; without, the rows' own bytes, joined
// while they share a page. Spans grow to at most `max_span` bytes, unless
// one row alone is wider. A shard's rows lie where `extents` says (one per
// shard; none: whole files from byte 0), and spans are of file offsets.
// Fails with EINVAL when an offset reaches 2^63.
Status plan_spans(std::span<const RowRef> refs, const ShardGeometry& geometry,
                  bool align, std::uint32_t max_span,
                  std::vector<RowSpan>& spans,
                  std::span<const ShardExtent> extents = {});

// Copies the rows of a finished read of `span` (`got` bytes at `data`) to
// their positions in `out`: bytes the read did not return, or past the
// shard's extent, are zeros; a repeated row is copied from its first
// position. Returns how many distinct rows the span held.
std::uint64_t copy_span_rows(const RowSpan& span, std::span<const RowRef> refs,
                             const ShardGeometry& geometry,
                             const std::byte* data, std::size_t got,
                             std::byte* out,
                             std::span<const ShardExtent> extents = {});

// Reads the rows of `refs` (sorted by (row id, position), every row inside
// the table) into `out` through the calling thread's own ring, and waits
// for them: a small request then skips the hand-off to the engine thread
// and back. `shard_fds[s]` is shard s's descriptor (O_DIRECT ones with
// `direct`, read in aligned spans), its rows where `extents` says, as for
// plan_spans. Reads that stop short are read on, as the engine does. Fails
// with the first read error; `out` is then partly written.
Status read_rows_here(std::span<const RowRef> refs,
                      const ShardGeometry& geometry, bool direct,
                      std::uint32_t max_span, std::span<const int> shard_fds,
                      std::byte* out, ReadTally& tally,
                      std::span<const ShardExtent> extents = {});

// The O_DIRECT descriptors of `store`'s shards, reopened through /proc.
Result<std::vector<UniqueFd>> reopen_direct(const Store& store);

// One buffer slot's size for `width`-byte rows and spans of `max_span`.
std::uint32_t span_slot_bytes(std::uint64_t width, std::uint32_t max_span);

}  // namespace larkspur::io
