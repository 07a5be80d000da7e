// GroupReader: page runs of one shard, from the page cache or the device.
#include "larkspur-io/src/fetch/row_reader.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <utility>

#include "larkspur-core/src/base/fault.h"
#include "larkspur-core/src/base/str_cat.h"

namespace larkspur::io {

namespace {

// A page window: the bytes of several distinct rows that start in one
// page, read at once. Such rows are less than a page apart, so each is
// less than a page wide, and the window spans less than two pages.
using PageWindow = std::array<std::byte, 2 * kPageBytes>;

// How many runs a reader keeps queued ahead of its reads once it has met
// the disk.
constexpr std::size_t kPrefetchRuns = 16;

}  // namespace

void CallErrors::record(Error error) {
  failed_.store(true, std::memory_order_relaxed);
  const std::lock_guard lock(mu_);
  if (!first_) first_.emplace(std::move(error));
}

std::optional<Error> CallErrors::take() {
  const std::lock_guard lock(mu_);
  return std::exchange(first_, std::nullopt);
}

GroupReader::GroupReader(const Store& store, std::uint64_t shard,
                         std::byte* out, bool& cold, ReadTally& tally)
    : reader_(store.reader()),
      fd_(store.fd(shard)),
      width_(store.geometry().width),
      base_(shard * store.geometry().rows_per_shard),
      file_base_(store.extents()[shard].offset),
      limit_(store.extents()[shard].length >
                     ShardExtent::kToFileEnd - store.extents()[shard].offset
                 ? ShardExtent::kToFileEnd
                 : store.extents()[shard].offset +
                       store.extents()[shard].length),
      out_(out),
      cold_(cold),
      tally_(tally) {}

// Whether the row's offset in its file, the shard's start plus local_row x
// width computed exactly, is below 2^63: a read from 2^63 on fails with
// EINVAL, and a product wrapped modulo 2^64 would name another row's bytes.
bool GroupReader::offset_is_valid(const RowRef& r) const {
  constexpr std::uint64_t kLimit = std::uint64_t{1} << 63;
  const WideCount offset = multiply_wide(r.rowid - base_, width_);
  return offset.high == 0 && offset.low < kLimit - file_base_;
}

// Requires offset_is_valid(r), which makes the sum exact.
std::uint64_t GroupReader::offset_of(const RowRef& r) const {
  return file_base_ + (r.rowid - base_) * width_;
}

std::byte* GroupReader::dest(const RowRef& r) const {
  return out_ + static_cast<std::size_t>(r.pos * width_);
}

GroupReader::Run GroupReader::run_at(std::size_t i) const {
  const std::uint64_t first = offset_of(rows_[i]);
  const std::uint64_t page = first & ~(kPageBytes - 1);
  Run run{i + 1, first, first, true};
  for (; run.end < rows_.size(); ++run.end) {
    const std::uint64_t off = offset_of(rows_[run.end]);
    if ((off & ~(kPageBytes - 1)) != page) break;
    run.one_row = run.one_row && rows_[run.end].rowid == rows_[i].rowid;
    run.hi = off;
  }
  return run;
}

void GroupReader::queue_ahead(std::size_t from) {
  ahead_ = std::max(ahead_, from);
  while (queued_ < kPrefetchRuns && ahead_ < rows_.size()) {
    const Run next = run_at(ahead_);
    reader_.prefetch(fd_, next.lo, next.hi - next.lo + width_);
    ahead_ = next.end;
    ++queued_;
  }
}

// Fills `buf` from `offset`: from the page cache if it can; else, when
// `wait`, from the device (prefetching from row `next` on), or reports the
// miss. Past the end of the file, or of the shard's extent, the bytes are
// zeros.
Result<GroupReader::Fill> GroupReader::fill(std::span<std::byte> buf,
                                            std::uint64_t offset,
                                            std::size_t next, bool wait) {
  if (offset >= limit_) {
    std::memset(buf.data(), 0, buf.size());
    return Fill::kFilled;
  }
  if (buf.size() > limit_ - offset) {
    const auto keep = static_cast<std::size_t>(limit_ - offset);
    std::memset(buf.data() + keep, 0, buf.size() - keep);
    buf = buf.first(keep);
  }
  std::size_t done = 0;
  // A short cached read is the end of the file or the end of what is
  // cached; the next one tells which.
  while (!cold_ && done < buf.size()) {
    Result<CachedRead> got =
        reader_.read_cached(fd_, buf.subspan(done), offset + done);
    if (!got) return std::move(got).error();
    if (got->state == CachedRead::State::kRead) {
      count(got->count);
      if (got->count == 0) {  // end of file
        std::memset(buf.data() + done, 0, buf.size() - done);
        return Fill::kFilled;
      }
      done += got->count;
      continue;
    }
    if (got->state == CachedRead::State::kWouldBlock && wait) cold_ = true;
    break;
  }
  if (done == buf.size()) return Fill::kFilled;
  if (!wait) return Fill::kMissed;
  if (cold_) queue_ahead(next);
  while (done < buf.size()) {
    Result<std::size_t> n =
        reader_.read_at(fd_, buf.subspan(done), offset + done);
    if (!n) return std::move(n).error();
    count(*n);
    if (*n == 0) {
      std::memset(buf.data() + done, 0, buf.size() - done);
      break;
    }
    done += *n;
  }
  return Fill::kFilled;
}

Result<GroupReader::Fill> GroupReader::read_run(std::size_t i, const Run& run,
                                                bool wait) {
  const auto row_bytes = static_cast<std::size_t>(width_);
  if (run.one_row) {
    // The common case: the row goes straight to its place in the output,
    // and repeats of it are copied from there.
    std::byte* dst = dest(rows_[i]);
    Result<Fill> got = fill({dst, row_bytes}, run.lo, run.end, wait);
    if (!got || *got == Fill::kMissed) return got;
    for (std::size_t k = i + 1; k < run.end; ++k) {
      std::memcpy(dest(rows_[k]), dst, row_bytes);
    }
    ++tally_.rows;
    return Fill::kFilled;
  }
  // Several rows of one page: one read from the first row's start to the
  // last row's end, then a copy per row.
  PageWindow window;
  const std::uint64_t span = run.hi - run.lo + width_;
  if (span > window.size()) {
    return fault(
        str_cat("rows of one page span ", span, " bytes, more than a window"));
  }
  const std::span<std::byte> bytes(window.data(),
                                   static_cast<std::size_t>(span));
  Result<Fill> got = fill(bytes, run.lo, run.end, wait);
  if (!got || *got == Fill::kMissed) return got;
  for (std::size_t k = i; k < run.end; ++k) {
    std::memcpy(
        dest(rows_[k]),
        window.data() + static_cast<std::size_t>(offset_of(rows_[k]) - run.lo),
        row_bytes);
    // Counted without a branch: 1 for the first row of each distinct id.
    tally_.rows += static_cast<std::uint64_t>(k == i || rows_[k].rowid !=
                                                            rows_[k - 1].rowid);
  }
  return Fill::kFilled;
}

Status GroupReader::read(std::span<const RowRef> rows,
                         const CallErrors& errors) {
  // Rows are sorted by row id, so their offsets ascend: when the last
  // one is one the kernel accepts, all are.
  if (!rows.empty() && !offset_is_valid(rows.back())) {
    return Error::from_errno(EINVAL);
  }
  rows_ = rows;
  ahead_ = 0;
  queued_ = 0;
  std::size_t i = 0;
  while (i < rows_.size()) {
    if (errors.failed()) return ok();  // the call fails anyway
    const Run run = run_at(i);
    if (i < ahead_) --queued_;
    Result<Fill> got = read_run(i, run, true);
    if (!got) return std::move(got).error();
    i = run.end;
  }
  return ok();
}

Status GroupReader::read_cached(std::span<const RowRef> rows,
                                std::vector<RowRef>& missed, bool probe) {
  if (!rows.empty() && !offset_is_valid(rows.back())) {
    return Error::from_errno(EINVAL);
  }
  rows_ = rows;
  std::size_t hits = 0;
  std::size_t misses = 0;
  std::size_t i = 0;
  while (i < rows_.size()) {
    if (misses > hits + 2) {
      // Mostly not cached: the device is needed anyway, and every further
      // attempt would be a wasted call.
      missed.insert(missed.end(),
                    rows_.begin() + static_cast<std::ptrdiff_t>(i),
                    rows_.end());
      return ok();
    }
    const Run run = run_at(i);
    Result<Fill> got = Fill::kMissed;
    if (!probe ||
        reader_.cached(fd_, run.lo, run.hi - run.lo + width_).value_or(true)) {
      got = read_run(i, run, false);
      if (!got) return std::move(got).error();
    }
    if (*got == Fill::kFilled) {
      ++hits;
    } else {
      ++misses;
      missed.insert(missed.end(),
                    rows_.begin() + static_cast<std::ptrdiff_t>(i),
                    rows_.begin() + static_cast<std::ptrdiff_t>(run.end));
    }
    i = run.end;
  }
  return ok();
}

}  // namespace larkspur::io
