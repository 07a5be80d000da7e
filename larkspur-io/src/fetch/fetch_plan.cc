// The fetch planner (grouping rows by shard and cutting the groups into
// jobs) and the read jobs themselves.
#include "larkspur-io/src/fetch/fetch_plan.h"

#include <malloc.h>
#include <sys/mman.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "larkspur-core/src/base/fault.h"
#include "larkspur-core/src/base/str_cat.h"
#include "larkspur-core/src/base/texts.h"
#include "larkspur-io/src/pool/io_pool.h"

namespace larkspur::io {

namespace {

// One requested row: its global id and its position in the request.
struct RowRef {
  std::uint64_t rowid;
  std::uint64_t pos;
};

// The rows of one shard: refs[begin, end).
struct Group {
  std::uint64_t shard;
  std::size_t begin;
  std::size_t end;
};

// Working memory of the planning thread, kept between calls: allocating
// it afresh would touch new pages on every call.
struct PlanScratch {
  std::vector<RowRef> refs;
  std::vector<std::uint64_t> shard_of;
  std::vector<std::size_t> bucket;
  std::vector<Group> groups;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> keyed;  // (shard, pos)

  // Keeps memory bounded after an unusually large request: what it needed
  // is freed and handed back to the system.
  void trim() {
    bool freed = release_if_large(refs);
    freed = release_if_large(shard_of) || freed;
    freed = release_if_large(bucket) || freed;
    freed = release_if_large(groups) || freed;
    freed = release_if_large(keyed) || freed;
    // The allocator may keep freed blocks (those below its mapping
    // threshold, which it raises as large blocks are freed) resident for
    // reuse; this returns their pages. Rare, so its cost does not matter.
    if (freed) static_cast<void>(::malloc_trim(0));
  }

  // Frees v's memory when it holds more than 16 MiB. Assigning {} would
  // only empty it, keeping its capacity.
  template <class T>
  static bool release_if_large(std::vector<T>& v) {
    if (v.capacity() * sizeof(T) <= (std::size_t{16} << 20)) return false;
    std::vector<T>().swap(v);
    return true;
  }
};

// The first read error of a call; jobs stop reading once one is recorded.
class CallErrors {
 public:
  void record(Error error) {
    failed_.store(true, std::memory_order_relaxed);
    const std::lock_guard lock(mu_);
    if (!first_) first_.emplace(std::move(error));
  }
  bool failed() const { return failed_.load(std::memory_order_relaxed); }
  std::optional<Error> take() {
    const std::lock_guard lock(mu_);
    return std::exchange(first_, std::nullopt);
  }

 private:
  std::atomic<bool> failed_{false};
  std::mutex mu_;
  std::optional<Error> first_;  // guarded by mu_
};

// Fills `buf` from `offset` until it is full or the file ends; what lies
// past the end reads as zeros. A failed read fails at once (the reader
// retries EINTR itself).
Status read_fill(const PositionalReader& reader, int fd,
                 std::span<std::byte> buf, std::uint64_t offset) {
  std::size_t done = 0;
  while (done < buf.size()) {
    Result<std::size_t> n = reader.read_at(fd, buf.subspan(done), offset + done);
    if (!n) return std::move(n).error();
    if (*n == 0) {
      std::memset(buf.data() + done, 0, buf.size() - done);
      break;
    }
    done += *n;
  }
  return ok();
}

// Appends one group per distinct shard of `keyed` (shard, position pairs),
// writing their refs from refs[at] on.
void append_sorted_groups(std::span<const std::uint64_t> rowids,
                          PlanScratch& s, std::size_t at) {
  // Sorting by (shard, position) keeps each group in request order.
  std::sort(s.keyed.begin(), s.keyed.end());
  for (std::size_t i = 0; i < s.keyed.size(); ++i) {
    const auto [shard, pos] = s.keyed[i];
    if (i == 0 || shard != s.keyed[i - 1].first) {
      s.groups.push_back(Group{shard, at + i, at + i});
    }
    s.refs[at + i] = RowRef{rowids[pos], pos};
    s.groups.back().end = at + i + 1;
  }
}

// Groups the request by shard: s.groups in ascending shard order, each
// over its rows of s.refs in request order.
void group_by_shard(std::span<const std::uint64_t> rowids,
                    const ShardGeometry& geometry, PlanScratch& s) {
  const std::size_t n = rowids.size();
  const std::uint64_t rows_per_shard = geometry.rows_per_shard;
  const std::uint64_t shards = geometry.shards;
  s.refs.resize(n);
  s.groups.clear();
  s.keyed.clear();
  if (shards > 4 * static_cast<std::uint64_t>(n) + 4096) {
    // Too many shards for a bucket per shard: sort instead.
    for (std::size_t k = 0; k < n; ++k) {
      s.keyed.emplace_back(rowids[k] / rows_per_shard, k);
    }
    append_sorted_groups(rowids, s, 0);
    return;
  }
  // A counting sort: one bucket per shard plus one, last, for row ids
  // past the table, which are rare and grouped by sorting.
  const auto stray = static_cast<std::size_t>(shards);
  s.shard_of.resize(n);
  s.bucket.assign(stray + 1, 0);
  for (std::size_t k = 0; k < n; ++k) {
    const std::uint64_t shard = rowids[k] / rows_per_shard;
    s.shard_of[k] = shard;
    ++s.bucket[static_cast<std::size_t>(std::min(shard, shards))];
  }
  std::size_t start = 0;
  for (std::size_t& b : s.bucket) start += std::exchange(b, start);
  for (std::size_t k = 0; k < n; ++k) {
    const std::uint64_t shard = s.shard_of[k];
    if (shard >= shards) {
      s.keyed.emplace_back(shard, k);
      continue;
    }
    s.refs[s.bucket[static_cast<std::size_t>(shard)]++] = RowRef{rowids[k], k};
  }
  // bucket[i] is now the end of shard i's rows.
  std::size_t begin = 0;
  for (std::size_t i = 0; i < stray; ++i) {
    if (s.bucket[i] != begin) s.groups.push_back(Group{i, begin, s.bucket[i]});
    begin = s.bucket[i];
  }
  if (!s.keyed.empty()) append_sorted_groups(rowids, s, begin);
}

// A page window: the bytes of several distinct rows that start in one
// page, read at once. Such rows are less than a page apart, so each is
// less than a page wide, and the window spans less than two pages.
using PageWindow = std::array<std::byte, 2 * kPageBytes>;

// How many runs a job keeps queued ahead of its reads once it has met the
// disk.
constexpr std::size_t kPrefetchRuns = 16;

// Reads the rows of one shard, sorted by (row id, position), into the
// output, in runs: the rows that start in one 4096-byte page.
//
// While rows come from the page cache, each run is one read that may not
// wait for the device. Once a run is not cached, the job switches to cold
// reading for good: it keeps the next kPrefetchRuns runs queued with the
// device and then waits for each run in turn. One job reading one file in
// order could otherwise keep only one request in flight.
class GroupReader {
 public:
  GroupReader(const Store& store, std::uint64_t shard, std::byte* out, bool& cold)
      : reader_(store.reader()),
        fd_(store.fd(shard)),
        width_(store.geometry().width),
        base_(shard * store.geometry().rows_per_shard),
        out_(out),
        cold_(cold) {}

  Status read(std::span<const RowRef> rows, const CallErrors& errors) {
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
      if (Status st = read_run(i, run); !st) return st;
      i = run.end;
    }
    return ok();
  }

 private:
  // Rows [begin, end) start in one page; their bytes span [lo, hi + width),
  // lo and hi being the offsets of the first and the last row.
  struct Run {
    std::size_t end;
    std::uint64_t lo;
    std::uint64_t hi;
    bool one_row;
  };

  // Whether the row's offset in its shard, local_row x width computed
  // exactly, is below 2^63: a read from 2^63 on fails with EINVAL, and a
  // product wrapped modulo 2^64 would name another row's bytes.
  bool offset_is_valid(const RowRef& r) const {
    const WideCount offset = multiply_wide(r.rowid - base_, width_);
    return offset.high == 0 && offset.low < (std::uint64_t{1} << 63);
  }
  // Requires offset_is_valid(r), which makes the product exact.
  std::uint64_t offset_of(const RowRef& r) const { return (r.rowid - base_) * width_; }
  std::byte* dest(const RowRef& r) const {
    return out_ + static_cast<std::size_t>(r.pos * width_);
  }

  Run run_at(std::size_t i) const {
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

  void queue_ahead(std::size_t from) {
    ahead_ = std::max(ahead_, from);
    while (queued_ < kPrefetchRuns && ahead_ < rows_.size()) {
      const Run next = run_at(ahead_);
      reader_.prefetch(fd_, next.lo, next.hi - next.lo + width_);
      ahead_ = next.end;
      ++queued_;
    }
  }

  // Fills `buf` from `offset`: from the page cache if it can, else from
  // the device (prefetching from row `next` on).
  Status fill(std::span<std::byte> buf, std::uint64_t offset, std::size_t next) {
    std::size_t done = 0;
    if (!cold_) {
      Result<CachedRead> got = reader_.read_cached(fd_, buf, offset);
      if (!got) return std::move(got).error();
      switch (got->state) {
        case CachedRead::State::kRead:
          done = got->count;
          if (done == buf.size()) return ok();
          if (done == 0) {  // end of file
            std::memset(buf.data(), 0, buf.size());
            return ok();
          }
          break;  // partly cached: the rest the ordinary way
        case CachedRead::State::kWouldBlock:
          cold_ = true;
          break;
        case CachedRead::State::kUnsupported:
          break;
      }
    }
    if (cold_) queue_ahead(next);
    return read_fill(reader_, fd_, buf.subspan(done), offset + done);
  }

  Status read_run(std::size_t i, const Run& run) {
    const auto row_bytes = static_cast<std::size_t>(width_);
    if (run.one_row) {
      // The common case: the row goes straight to its place in the output,
      // and repeats of it are copied from there.
      std::byte* dst = dest(rows_[i]);
      if (Status st = fill({dst, row_bytes}, run.lo, run.end); !st) return st;
      for (std::size_t k = i + 1; k < run.end; ++k) {
        std::memcpy(dest(rows_[k]), dst, row_bytes);
      }
      return ok();
    }
    // Several rows of one page: one read from the lowest row's start to the
    // highest row's end, then a copy per row.
    PageWindow window;
    const std::uint64_t span = run.hi - run.lo + width_;
    if (span > window.size()) {
      return fault(str_cat("rows of one page span ", span, " bytes, more than a window"));
    }
    const std::span<std::byte> bytes(window.data(), static_cast<std::size_t>(span));
    if (Status st = fill(bytes, run.lo, run.end); !st) return st;
    for (std::size_t k = i; k < run.end; ++k) {
      std::memcpy(dest(rows_[k]),
                  window.data() + static_cast<std::size_t>(offset_of(rows_[k]) - run.lo),
                  row_bytes);
    }
    return ok();
  }

  const PositionalReader& reader_;
  const int fd_;
  const std::uint64_t width_;
  const std::uint64_t base_;  // the global row id of the shard's row 0
  std::byte* const out_;
  bool& cold_;  // shared by the job's groups
  std::span<const RowRef> rows_;
  std::size_t ahead_ = 0;   // rows before this have been prefetched
  std::size_t queued_ = 0;  // prefetched runs not yet read
};

// One job: its groups, in shard order.
Status run_groups(const Store& store, std::span<const Group> groups,
                  RowRef* refs, std::byte* out, CallErrors& errors) {
  bool cold = false;
  for (const Group& group : groups) {
    if (group.shard >= store.shard_count()) {
      return index_fault(store.shard_count(), group.shard);
    }
    if (errors.failed() || store.geometry().width == 0) continue;
    RowRef* first = refs + group.begin;
    RowRef* last = refs + group.end;
    const auto before = [](const RowRef& a, const RowRef& b) {
      return a.rowid != b.rowid ? a.rowid < b.rowid : a.pos < b.pos;
    };
    if (!std::is_sorted(first, last, before)) std::sort(first, last, before);
    GroupReader reader(store, group.shard, out, cold);
    if (Status st = reader.read({first, last}, errors); !st) {
      errors.record(std::move(st).error());
    }
  }
  return ok();
}

// An output this large is fresh memory (the C library maps it anew for
// each allocation), and the reads would fault it in 4 KiB at a time:
// zeroing and mapping 160 MiB that way costs ~80 ms here, against ~13 ms
// in 2 MiB pages. Only whole huge pages inside the buffer are advised; the
// advice goes with the mapping when the buffer is freed.
void advise_huge_pages(std::span<std::byte> out) {
  constexpr std::uintptr_t kHuge = std::uintptr_t{2} << 20;
  constexpr std::size_t kFreshAbove = std::size_t{32} << 20;
  if (out.size() < kFreshAbove) return;
  const auto begin = reinterpret_cast<std::uintptr_t>(out.data());
  const std::uintptr_t first = (begin + kHuge - 1) & ~(kHuge - 1);
  const std::uintptr_t last = (begin + out.size()) & ~(kHuge - 1);
  // A hint: where the kernel has no huge pages, nothing changes.
  static_cast<void>(
      ::madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE));
}

}  // namespace

Result<std::size_t> fetch_output_size(std::uint64_t rows, std::uint64_t width) {
  const WideCount bytes = multiply_wide(rows, width);
  if (bytes.high != 0 || bytes.low >= (std::uint64_t{1} << 63)) {
    return capacity_overflow();
  }
  return static_cast<std::size_t>(bytes.low);
}

Status fetch_rows(const Store& store, std::span<const std::uint64_t> rowids,
                  std::span<std::byte> out) {
  if (rowids.empty()) return ok();
  const ShardGeometry& geometry = store.geometry();
  if (geometry.rows_per_shard == 0) return fault(std::string(texts::kDivideByZero));
  const Result<std::size_t> size = fetch_output_size(rowids.size(), geometry.width);
  if (!size) return size.error();
  if (*size != out.size()) {
    return assert_eq_fault("output buffer size", str_cat(*size), str_cat(out.size()));
  }

  advise_huge_pages(out);
  thread_local PlanScratch scratch;
  group_by_shard(rowids, geometry, scratch);

  const std::size_t g = scratch.groups.size();
  const std::size_t max_jobs =
      static_cast<std::size_t>(std::clamp<std::uint64_t>(store.threads(), 1, g));
  const std::size_t per_job = (g + max_jobs - 1) / max_jobs;

  CallErrors errors;
  std::vector<IoJob> jobs;
  jobs.reserve((g + per_job - 1) / per_job);
  const std::span<const Group> groups(scratch.groups);
  RowRef* refs = scratch.refs.data();
  std::byte* dst = out.data();
  for (std::size_t at = 0; at < g; at += per_job) {
    const auto mine = groups.subspan(at, std::min(per_job, g - at));
    jobs.emplace_back([&store, mine, refs, dst, &errors] {
      return run_groups(store, mine, refs, dst, errors);
    });
  }
  // run_jobs returns only once every job has finished, so the jobs may
  // borrow the scratch, the output and `errors`.
  Status ran = run_jobs(std::move(jobs));
  scratch.trim();
  if (!ran) return ran;
  if (std::optional<Error> failed = errors.take()) return *std::move(failed);
  return ok();
}

}  // namespace larkspur::io
