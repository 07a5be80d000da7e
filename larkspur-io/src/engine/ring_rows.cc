// Ring row reads: spans planned in file order, rows copied out of finished
// reads, O_DIRECT descriptors and slot sizes.
#include "larkspur-io/src/engine/ring_rows.h"

#include <fcntl.h>
#include <sys/mman.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <utility>

#include "larkspur-core/src/base/file.h"
#include "larkspur-core/src/base/mapping.h"
#include "larkspur-core/src/layout/shard_geometry.h"
#include "larkspur-io/src/uring/page_reader.h"
#include "larkspur-io/src/uring/uring_page_reader.h"

namespace larkspur::io {
namespace {

constexpr std::uint64_t kPage = 4096;
constexpr std::uint64_t kMaxOffset = std::uint64_t{1} << 63;

std::uint64_t round_down(std::uint64_t v) { return v & ~(kPage - 1); }
std::uint64_t round_up(std::uint64_t v) { return round_down(v + kPage - 1); }

// `fd` opened again, read-only and with O_DIRECT, through /proc.
Result<UniqueFd> reopen_direct_fd(int fd) {
  const std::string path = "/proc/self/fd/" + std::to_string(fd);
  int got = -1;
  do {
    got = ::open(path.c_str(), O_RDONLY | O_DIRECT | O_CLOEXEC);
  } while (got < 0 && errno == EINTR);
  if (got < 0) return Error::from_errno(errno);
  return UniqueFd(got);
}

// Shard `shard`'s extent: whole files when there are none.
ShardExtent extent_of(std::span<const ShardExtent> extents,
                      std::uint64_t shard) {
  return extents.empty() ? ShardExtent{} : extents[shard];
}

// Where shard `shard`'s extent ends in its file.
std::uint64_t extent_end(std::span<const ShardExtent> extents,
                         std::uint64_t shard) {
  const ShardExtent e = extent_of(extents, shard);
  return e.length > kMaxOffset - e.offset ? kMaxOffset : e.offset + e.length;
}

}  // namespace

Status plan_spans(std::span<const RowRef> refs, const ShardGeometry& geometry,
                  bool align, std::uint32_t max_span,
                  std::vector<RowSpan>& spans,
                  std::span<const ShardExtent> extents) {
  spans.clear();
  const std::uint64_t rps = geometry.rows_per_shard;
  const std::uint64_t width = geometry.width;
  for (std::size_t k = 0; k < refs.size(); ++k) {
    const std::uint64_t shard = refs[k].rowid / rps;
    const std::uint64_t base = extent_of(extents, shard).offset;
    const WideCount local = multiply_wide(refs[k].rowid % rps, width);
    if (local.high != 0 || base >= kMaxOffset - width ||
        local.low >= kMaxOffset - width - base) {
      return Error::from_errno(EINVAL);
    }
    const std::uint64_t at = base + local.low;
    const std::uint64_t lo = align ? round_down(at) : at;
    const std::uint64_t hi = align ? round_up(at + width) : at + width;
    if (!spans.empty()) {
      RowSpan& last = spans.back();
      const std::uint64_t end = last.start + last.length;
      // Joined when the row's pages overlap or touch the span's (aligned),
      // or when it starts in the span's last page (unaligned).
      const bool near = align ? lo <= end : lo < round_up(end);
      if (last.shard == shard && near && hi - last.start <= max_span) {
        last.length =
            static_cast<std::uint32_t>(std::max(end, hi) - last.start);
        last.end = static_cast<std::uint32_t>(k + 1);
        continue;
      }
    }
    spans.push_back(RowSpan{shard, lo, static_cast<std::uint32_t>(hi - lo),
                            static_cast<std::uint32_t>(k),
                            static_cast<std::uint32_t>(k + 1)});
  }
  return ok();
}

std::uint64_t copy_span_rows(const RowSpan& span, std::span<const RowRef> refs,
                             const ShardGeometry& geometry,
                             const std::byte* data, std::size_t got,
                             std::byte* out,
                             std::span<const ShardExtent> extents) {
  const std::uint64_t width = geometry.width;
  const std::uint64_t base = extent_of(extents, span.shard).offset;
  const std::uint64_t end = extent_end(extents, span.shard);
  std::uint64_t rows = 0;
  for (std::uint32_t k = span.first; k < span.end; ++k) {
    std::byte* to = out + refs[k].pos * width;
    if (k > span.first && refs[k].rowid == refs[k - 1].rowid) {
      std::memcpy(to, out + refs[k - 1].pos * width, width);
      continue;
    }
    ++rows;
    const std::uint64_t at =
        base + (refs[k].rowid % geometry.rows_per_shard) * width;
    const std::uint64_t from = at - span.start;
    // Bytes past the shard's extent are another tensor's, or nothing.
    const std::uint64_t inside = at < end ? std::min(end - at, width) : 0;
    const std::uint64_t have =
        got > from ? std::min<std::uint64_t>(got - from, inside) : 0;
    if (have > 0) std::memcpy(to, data + from, have);
    if (have < width) std::memset(to + have, 0, width - have);
  }
  return rows;
}

namespace {

// The calling thread's buffers for read_rows_here: 4096-aligned slots,
// kept between calls and grown as needed.
struct HereScratch {
  Mapping slots;
  std::vector<RowSpan> spans;
  std::vector<int> fds;
  std::vector<std::uint64_t> offsets;
  std::vector<std::span<std::byte>> buffers;
  std::vector<std::size_t> lengths;
};

// Reads on from where the ring's read of `span` stopped short (direct:
// from its last whole page), until the span is whole or a read adds
// nothing (the end of the file): the bytes the slot holds.
Result<std::size_t> read_on(int fd, const RowSpan& span, bool direct,
                            std::byte* slot, std::size_t got,
                            ReadTally& tally) {
  while (got > 0 && got < span.length) {
    const std::size_t from = direct ? round_down(got) : got;
    Result<std::size_t> n =
        read_at(fd, {slot + from, span.length - from}, span.start + from);
    if (!n) return std::move(n).error();
    ++tally.calls;
    tally.bytes += *n;
    if (from + *n <= got) break;
    got = from + *n;
  }
  return got;
}

}  // namespace

Status read_rows_here(std::span<const RowRef> refs,
                      const ShardGeometry& geometry, bool direct,
                      std::uint32_t max_span, std::span<const int> shard_fds,
                      std::byte* out, ReadTally& tally,
                      std::span<const ShardExtent> extents) {
  thread_local HereScratch s;
  if (Status planned =
          plan_spans(refs, geometry, direct, max_span, s.spans, extents);
      !planned) {
    return planned;
  }
  const std::size_t n = s.spans.size();
  if (n == 0) return ok();
  Result<IoUring*> ring = calling_thread_ring();
  if (!ring) return std::move(ring).error();
  const std::size_t slot = span_slot_bytes(geometry.width, max_span);
  if (s.slots.size() < slot * n) {
    // Nothing is in flight into the old slots: they may go.
    void* mem = ::mmap(nullptr, slot * n, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mem == MAP_FAILED) return Error::from_errno(errno);
    s.slots = Mapping(mem, slot * n);
  }
  s.fds.resize(n);
  s.offsets.resize(n);
  s.buffers.resize(n);
  s.lengths.assign(n, 0);
  for (std::size_t k = 0; k < n; ++k) {
    const RowSpan& span = s.spans[k];
    s.fds[k] = shard_fds[span.shard];
    s.offsets[k] = span.start;
    s.buffers[k] = {s.slots.bytes() + k * slot, span.length};
  }
  PageTargets targets{s.buffers, s.lengths};
  targets.empty_at_eof = true;  // rows past the end read as zeros
  Status read = read_pages_on(**ring, s.fds, s.offsets, targets);
  if (targets.pinned) {
    // The kernel may still write into the slots: they are never unmapped,
    // and the ring goes (closing it cancels what it holds).
    s.slots.leak();
    s.slots = Mapping();
    drop_calling_thread_ring();
  }
  if (!read) return read;
  tally.calls += n;
  for (std::size_t k = 0; k < n; ++k) {
    tally.bytes += s.lengths[k];
    std::byte* data = s.slots.bytes() + k * slot;
    Result<std::size_t> got =
        read_on(s.fds[k], s.spans[k], direct, data, s.lengths[k], tally);
    if (!got) return std::move(got).error();
    tally.rows +=
        copy_span_rows(s.spans[k], refs, geometry, data, *got, out, extents);
  }
  return ok();
}

Result<std::vector<UniqueFd>> reopen_direct(const Store& store) {
  std::vector<UniqueFd> direct;
  direct.reserve(store.shard_count());
  for (std::uint64_t i = 0; i < store.shard_count(); ++i) {
    Result<UniqueFd> fd = reopen_direct_fd(store.fd(i));
    if (!fd) return std::move(fd).error();
    direct.push_back(std::move(*fd));
  }
  return direct;
}

std::uint32_t span_slot_bytes(std::uint64_t width, std::uint32_t max_span) {
  // A row wider than a span still needs one slot: its pages, plus one for
  // an unaligned start.
  return static_cast<std::uint32_t>(
      std::max<std::uint64_t>(round_up(max_span), round_up(width) + kPage));
}

}  // namespace larkspur::io
