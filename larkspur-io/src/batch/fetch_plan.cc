// The fetch planner (grouping rows by shard and cutting the groups into
// jobs) and the read jobs themselves.
#include "larkspur-io/src/batch/fetch_plan.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "larkspur-core/src/base/fault.h"
#include "larkspur-core/src/base/str_cat.h"
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

  // Keeps memory bounded after an unusually large request.
  void trim() {
    constexpr std::size_t kKeep = std::size_t{1} << 20;
    if (refs.capacity() > kKeep) {
      refs = {};
      shard_of = {};
    }
    if (keyed.capacity() > kKeep) keyed = {};
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
// past the end reads as zeros. A failed read fails at once (EINTR too).
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

// A page window: the bytes of several rows of one page, read at once.
// One per thread, reused by every job that thread runs.
std::vector<std::byte>& thread_window() {
  thread_local std::vector<std::byte> window;
  return window;
}

// Reads one shard's rows, sorted by (row id, position), into `out`.
Status read_group(const Store& store, const Group& group,
                  std::span<const RowRef> rows, std::byte* out,
                  const CallErrors& errors) {
  const ShardGeometry& g = store.geometry();
  const std::uint64_t width = g.width;
  const std::uint64_t base = group.shard * g.rows_per_shard;
  const int fd = store.fd(group.shard);
  const PositionalReader& reader = store.reader();
  const auto offset_of = [&](const RowRef& r) { return (r.rowid - base) * width; };
  const auto dest = [&](const RowRef& r) {
    return out + static_cast<std::size_t>(r.pos * width);
  };
  const auto row_bytes = static_cast<std::size_t>(width);

  std::size_t i = 0;
  while (i < rows.size()) {
    if (errors.failed()) return ok();  // the call fails anyway
    // The run [i, j): rows starting in the same page as row i. Sorted rows
    // have ascending offsets unless local_row × width wrapped, so track
    // the lowest and highest.
    const std::uint64_t first = offset_of(rows[i]);
    const std::uint64_t page = first & ~(kPageBytes - 1);
    std::uint64_t lo = first;
    std::uint64_t hi = first;
    bool one_row = true;
    std::size_t j = i + 1;
    for (; j < rows.size(); ++j) {
      const std::uint64_t off = offset_of(rows[j]);
      if ((off & ~(kPageBytes - 1)) != page) break;
      one_row = one_row && rows[j].rowid == rows[i].rowid;
      lo = std::min(lo, off);
      hi = std::max(hi, off);
    }
    if (one_row) {
      // The common case: the row goes straight to its place in the output,
      // and repeats of it are copied from there.
      std::byte* dst = dest(rows[i]);
      if (Status st = read_fill(reader, fd, {dst, row_bytes}, first); !st) {
        return st;
      }
      for (std::size_t k = i + 1; k < j; ++k) std::memcpy(dest(rows[k]), dst, row_bytes);
    } else {
      // Several rows of one page: one read from the lowest row's start to
      // the highest row's end, then a copy per row.
      std::vector<std::byte>& window = thread_window();
      const auto span = static_cast<std::size_t>(hi - lo + width);
      if (window.size() < span) window.resize(span);
      if (Status st = read_fill(reader, fd, {window.data(), span}, lo); !st) {
        return st;
      }
      for (std::size_t k = i; k < j; ++k) {
        std::memcpy(dest(rows[k]),
                    window.data() + static_cast<std::size_t>(offset_of(rows[k]) - lo),
                    row_bytes);
      }
      if (window.size() > (std::size_t{1} << 20)) window = {};
    }
    i = j;
  }
  return ok();
}

// One job: its groups, in shard order.
Status run_groups(const Store& store, std::span<const Group> groups,
                  RowRef* refs, std::byte* out, CallErrors& errors) {
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
    if (Status st = read_group(store, group, {first, last}, out, errors); !st) {
      errors.record(std::move(st).error());
    }
  }
  return ok();
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
  if (geometry.rows_per_shard == 0) return fault("attempt to divide by zero");
  const Result<std::size_t> size = fetch_output_size(rowids.size(), geometry.width);
  if (!size) return size.error();
  if (*size != out.size()) {
    return assert_eq_fault("output buffer size", str_cat(*size), str_cat(out.size()));
  }

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
