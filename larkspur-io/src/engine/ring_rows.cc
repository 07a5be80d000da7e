// Deep-queue row reads: spans planned in file order, one buffer slot per
// read in flight, rows copied out as their reads complete.
#include "larkspur-io/src/engine/ring_rows.h"

#include <fcntl.h>
#include <sys/mman.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <utility>

#include "larkspur-core/src/base/scope_exit.h"
#include "larkspur-core/src/layout/shard_geometry.h"

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

std::uint64_t tag_of(std::size_t span, std::uint32_t slot) {
  return (static_cast<std::uint64_t>(slot) << 32) | span;
}

}  // namespace

Status plan_spans(std::span<const RowRef> refs, const ShardGeometry& geometry,
                  bool align, std::uint32_t max_span,
                  std::vector<RowSpan>& spans) {
  spans.clear();
  const std::uint64_t rps = geometry.rows_per_shard;
  const std::uint64_t width = geometry.width;
  for (std::size_t k = 0; k < refs.size(); ++k) {
    const std::uint64_t shard = refs[k].rowid / rps;
    const WideCount at = multiply_wide(refs[k].rowid % rps, width);
    if (at.high != 0 || at.low >= kMaxOffset - width) {
      return Error::from_errno(EINVAL);
    }
    const std::uint64_t lo = align ? round_down(at.low) : at.low;
    const std::uint64_t hi = align ? round_up(at.low + width) : at.low + width;
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
                             std::byte* out) {
  const std::uint64_t width = geometry.width;
  std::uint64_t rows = 0;
  for (std::uint32_t k = span.first; k < span.end; ++k) {
    std::byte* to = out + refs[k].pos * width;
    if (k > span.first && refs[k].rowid == refs[k - 1].rowid) {
      std::memcpy(to, out + refs[k - 1].pos * width, width);
      continue;
    }
    ++rows;
    const std::uint64_t at = (refs[k].rowid % geometry.rows_per_shard) * width;
    const std::uint64_t from = at - span.start;
    const std::uint64_t have =
        got > from ? std::min<std::uint64_t>(got - from, width) : 0;
    if (have > 0) std::memcpy(to, data + from, have);
    if (have < width) std::memset(to + have, 0, width - have);
  }
  return rows;
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

Result<RingRows> RingRows::open(const Store& store,
                                const RingRowsOptions& options) {
  if (options.depth == 0 || store.geometry().width == 0) {
    return Error::from_errno(EINVAL);
  }
  if (store.geometry().width > (1U << 30) - kPage) {
    return Error::from_errno(EINVAL);
  }
  const std::uint64_t slot =
      span_slot_bytes(store.geometry().width, options.max_span);
  std::vector<UniqueFd> direct;
  if (options.direct) {
    Result<std::vector<UniqueFd>> fds = reopen_direct(store);
    if (!fds) return std::move(fds).error();
    direct = std::move(*fds);
  }
  const std::size_t bytes = static_cast<std::size_t>(slot) * options.depth;
  void* mem = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mem == MAP_FAILED) return Error::from_errno(errno);
  Mapping buffers(mem, bytes);
  Result<IoUring> ring = IoUring::create(options.depth);
  if (!ring) return std::move(ring).error();
  return RingRows(store, options, static_cast<std::uint32_t>(slot),
                  std::move(direct), std::move(buffers), std::move(*ring));
}

RingRows::RingRows(const Store& store, const RingRowsOptions& options,
                   std::uint32_t slot_bytes, std::vector<UniqueFd> direct_fds,
                   Mapping buffers, IoUring ring)
    : store_(&store),
      options_(options),
      slot_bytes_(slot_bytes),
      direct_fds_(std::move(direct_fds)),
      buffers_(std::move(buffers)),
      ring_(std::move(ring)) {
  // The kernel may give a deeper ring; the buffers bound the reads.
  options_.depth = std::min(options_.depth, ring_.sq_entries());
}

RingRows::~RingRows() {
  if (broken_) buffers_.leak();
}

int RingRows::fd_of(std::uint64_t shard) const {
  return options_.direct ? direct_fds_[shard].get() : store_->fd(shard);
}

Status RingRows::read(std::span<const RowRef> refs, std::byte* out,
                      ReadTally& tally) {
  if (broken_) return Error::io("the ring failed earlier");
  if (refs.empty()) return ok();
  if (Status planned = plan_spans(refs, store_->geometry(), options_.direct,
                                  options_.max_span, spans_);
      !planned) {
    return planned;
  }
  free_slots_.resize(options_.depth);
  for (std::uint32_t i = 0; i < options_.depth; ++i) {
    free_slots_[i] = options_.depth - 1 - i;
  }
  std::optional<Error> failed;
  std::size_t next = 0;
  std::uint32_t in_flight = 0;  // pushed and not yet completed
  while (next < spans_.size() || in_flight > 0) {
    while (!failed && next < spans_.size() && !free_slots_.empty()) {
      const std::uint32_t slot = free_slots_.back();
      const RowSpan& span = spans_[next];
      std::byte* buffer = buffers_.bytes() + std::size_t{slot} * slot_bytes_;
      if (!ring_.push_read(ReadRequest{fd_of(span.shard), span.start, buffer,
                                       span.length, tag_of(next, slot)})) {
        break;  // the queue is full: completions first
      }
      free_slots_.pop_back();
      ++next;
      ++in_flight;
    }
    if (failed && ring_.unsubmitted() > 0) {
      in_flight -= ring_.unsubmitted();
      ring_.discard_unsubmitted();
    }
    if (in_flight == 0) break;
    Result<std::uint32_t> entered = ring_.submit_and_wait(1);
    ++tally.calls;
    if (!entered) {
      // Interrupted, or short of resources until completions are taken:
      // take them and enter again.
      const int err = entered.error().sys_errno();
      if (err != EINTR && err != EAGAIN && err != EBUSY) {
        // Nothing more can be waited for: what the kernel took may still
        // land in the buffers, which are therefore never freed or reused.
        broken_ = true;
        return entered.error().with_prefix("io_uring_enter: ");
      }
    }
    while (const std::optional<Completion> done = ring_.next_completion()) {
      const auto index = static_cast<std::size_t>(done->tag & 0xffffffffU);
      const auto slot = static_cast<std::uint32_t>(done->tag >> 32);
      --in_flight;
      free_slots_.push_back(slot);
      if (done->res < 0) {
        if (!failed) failed = Error::from_errno(-done->res);
        continue;
      }
      if (failed) continue;
      // A short read ends at the end of the file: the rest reads as zeros.
      const auto got = static_cast<std::size_t>(done->res);
      tally.bytes += got;
      tally.rows += copy_span_rows(
          spans_[index], refs, store_->geometry(),
          buffers_.bytes() + std::size_t{slot} * slot_bytes_, got, out);
    }
  }
  if (failed) return *std::move(failed);
  return ok();
}

}  // namespace larkspur::io
