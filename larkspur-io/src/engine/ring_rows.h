// Deep-queue row reads on one io_uring ring: the rows of a request grouped
// into spans (rows that share or neighbour pages are read once), with up to
// `depth` reads in flight until every span is done.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "larkspur-core/src/base/mapping.h"
#include "larkspur-core/src/base/result.h"
#include "larkspur-core/src/base/unique_fd.h"
#include "larkspur-io/src/fetch/row_reader.h"
#include "larkspur-io/src/fetch/store.h"
#include "larkspur-io/src/uring/io_uring.h"

namespace larkspur::io {

struct RingRowsOptions {
  // Reads in flight at once.
  std::uint32_t depth = 128;
  // Read through O_DIRECT descriptors into 4096-aligned buffers, bypassing
  // the page cache; else through the Store's own descriptors.
  bool direct = false;
  // The most bytes one read covers when it joins the rows of neighbouring
  // pages (a single row wider than this still gets one read).
  std::uint32_t max_span = 16384;
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
// one row alone is wider. Fails with EINVAL when an offset reaches 2^63.
Status plan_spans(std::span<const RowRef> refs, const ShardGeometry& geometry,
                  bool align, std::uint32_t max_span,
                  std::vector<RowSpan>& spans);

// Copies the rows of a finished read of `span` (`got` bytes at `data`) to
// their positions in `out`: bytes the read did not return are zeros, a
// repeated row is copied from its first position. Returns how many
// distinct rows the span held.
std::uint64_t copy_span_rows(const RowSpan& span, std::span<const RowRef> refs,
                             const ShardGeometry& geometry,
                             const std::byte* data, std::size_t got,
                             std::byte* out);

// The O_DIRECT descriptors of `store`'s shards, reopened through /proc.
Result<std::vector<UniqueFd>> reopen_direct(const Store& store);

// One buffer slot's size for `width`-byte rows and spans of `max_span`.
std::uint32_t span_slot_bytes(std::uint64_t width, std::uint32_t max_span);

// Owns a ring, its buffers and (direct) the O_DIRECT descriptors, for one
// caller at a time.
class RingRows {
 public:
  // The ring for `store`, which must outlive it. Fails with the system error
  // of io_uring_setup, of the buffers' mmap or of reopening a shard with
  // O_DIRECT (EINVAL where the file system has no direct I/O).
  static Result<RingRows> open(const Store& store,
                               const RingRowsOptions& options);

  RingRows(RingRows&&) noexcept = default;
  RingRows& operator=(RingRows&&) = delete;
  RingRows(const RingRows&) = delete;
  RingRows& operator=(const RingRows&) = delete;
  ~RingRows();

  // Fills the rows of `refs` (sorted by (row id, position), every row
  // inside the table) at out + position × width: bytes past the end of a
  // shard are zeros, a repeated row is read once. Returns once no read it
  // submitted is in flight, with the first read error if any (the output
  // is then partly written).
  Status read(std::span<const RowRef> refs, std::byte* out, ReadTally& tally);

  const RingRowsOptions& options() const { return options_; }

 private:
  RingRows(const Store& store, const RingRowsOptions& options,
           std::uint32_t slot_bytes, std::vector<UniqueFd> direct_fds,
           Mapping buffers, IoUring ring);
  int fd_of(std::uint64_t shard) const;

  const Store* store_;
  RingRowsOptions options_;
  std::uint32_t slot_bytes_;
  // Destroyed in reverse order: the ring before the buffers and the
  // descriptors its reads use.
  std::vector<UniqueFd> direct_fds_;
  Mapping buffers_;
  IoUring ring_;
  std::vector<RowSpan> spans_;
  std::vector<std::uint32_t> free_slots_;
  // Set when the ring failed with reads in flight that could not be waited
  // for: the kernel may still write into the buffers, so they are never
  // unmapped and the ring never used again.
  bool broken_ = false;
};

}  // namespace larkspur::io
