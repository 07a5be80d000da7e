// The fetch planner: grouping rows by shard, the cached pass and the
// device pass, and cutting groups into pool jobs.
#include "larkspur-io/src/fetch/fetch_plan.h"

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
#include "larkspur-core/src/base/memory.h"
#include "larkspur-core/src/base/scope_exit.h"
#include "larkspur-core/src/base/str_cat.h"
#include "larkspur-core/src/base/texts.h"
#include "larkspur-io/src/fetch/row_reader.h"
#include "larkspur-io/src/pool/io_pool.h"
#include "larkspur-io/src/pool/pool_config.h"

namespace larkspur::io {

namespace {

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
  std::vector<RowRef> missed;
  std::vector<std::vector<RowRef>> missed_lists;  // one per cached-pass job

  // Keeps memory bounded after an unusually large request: what it needed
  // is freed and handed back to the system.
  void trim() {
    bool freed = release_if_large(refs);
    freed = release_if_large(shard_of) || freed;
    freed = release_if_large(bucket) || freed;
    freed = release_if_large(groups) || freed;
    freed = release_if_large(keyed) || freed;
    freed = release_if_large(missed) || freed;
    for (std::vector<RowRef>& list : missed_lists) {
      freed = release_if_large(list) || freed;
    }
    if (freed) return_freed_memory();
  }
};

// Appends one group per distinct shard of `keyed` (shard, position pairs),
// writing their refs from refs[at] on.
void append_sorted_groups(std::span<const std::uint64_t> rowids, PlanScratch& s,
                          std::size_t at) {
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

// Requests of up to this many rows are grouped by sorting them.
constexpr std::size_t kSortedRows = 64;

// Groups the request by shard: s.groups in ascending shard order, each
// over its rows of s.refs (in request order, or sorted for a small
// request; the readers sort each group anyway).
void group_by_shard(std::span<const std::uint64_t> rowids,
                    const ShardGeometry& geometry, PlanScratch& s) {
  const std::size_t n = rowids.size();
  const std::uint64_t rows_per_shard = geometry.rows_per_shard;
  const std::uint64_t shards = geometry.shards;
  s.refs.resize(n);
  s.groups.clear();
  s.keyed.clear();
  if (n <= kSortedRows) {
    // A few rows: sorting them costs less than a pass over every shard's
    // bucket. Sorted by row id, they are sorted by shard (row ids past the
    // table last), each shard's rows in offset order.
    for (std::size_t k = 0; k < n; ++k) s.refs[k] = RowRef{rowids[k], k};
    std::sort(s.refs.begin(), s.refs.end());
    for (std::size_t k = 0; k < n; ++k) {
      const std::uint64_t shard = s.refs[k].rowid / rows_per_shard;
      if (s.groups.empty() || s.groups.back().shard != shard) {
        s.groups.push_back(Group{shard, k, k});
      }
      s.groups.back().end = k + 1;
    }
    return;
  }
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

// One job: its groups, in shard order, each sorted by (row id, position)
// first. With `missed`, only what the page cache holds is read (asking it
// first with `probe`) and the rest goes to `missed`.
Status run_groups(const Store& store, std::span<const Group> groups,
                  RowRef* refs, std::byte* out, CallErrors& errors,
                  ReadCounts* counts, std::vector<RowRef>* missed,
                  bool probe = false) {
  bool cold = false;
  ReadTally tally;
  // Counted once per job: an atomic add per group would cost more than a
  // small request's reads.
  const ScopeExit flush([counts, &tally] {
    if (counts != nullptr) counts->add(tally);
  });
  for (const Group& group : groups) {
    if (group.shard >= store.shard_count()) {
      return index_fault(store.shard_count(), group.shard);
    }
    if (errors.failed() || store.geometry().width == 0) continue;
    RowRef* first = refs + group.begin;
    RowRef* last = refs + group.end;
    if (!std::is_sorted(first, last)) std::sort(first, last);
    GroupReader reader(store, group.shard, out, cold, tally);
    Status st = missed == nullptr
                    ? reader.read({first, last}, errors)
                    : reader.read_cached({first, last}, *missed, probe);
    if (!st) errors.record(std::move(st).error());
  }
  return ok();
}

// The groups of `refs`, cut into at most `max_jobs` jobs of whole groups
// in shard order, run on the pool (one of them on the calling thread when
// `caller_too`); with `missed` (one list per job), cached reads only.
Status run_group_jobs(const Store& store, std::span<const Group> groups,
                      RowRef* refs, std::byte* out, ReadCounts* counts,
                      std::size_t max_jobs, bool caller_too,
                      std::vector<std::vector<RowRef>>* missed,
                      bool probe = false) {
  const std::size_t g = groups.size();
  if (g == 0) return ok();
  max_jobs = std::clamp<std::size_t>(max_jobs, 1, g);
  const std::size_t per_job = (g + max_jobs - 1) / max_jobs;
  const std::size_t count = (g + per_job - 1) / per_job;
  if (missed != nullptr) missed->resize(count);

  CallErrors errors;
  std::vector<IoJob> jobs;
  jobs.reserve(count);
  for (std::size_t at = 0, k = 0; at < g; at += per_job, ++k) {
    const auto mine = groups.subspan(at, std::min(per_job, g - at));
    std::vector<RowRef>* lost = missed == nullptr ? nullptr : &(*missed)[k];
    jobs.emplace_back([&store, mine, refs, out, &errors, counts, lost, probe] {
      return run_groups(store, mine, refs, out, errors, counts, lost, probe);
    });
  }
  // run_jobs returns only once every job has finished, so the jobs may
  // borrow the refs, the output and `errors`.
  std::optional<IoJob> here;
  if (caller_too) {
    here.emplace(std::move(jobs.back()));
    jobs.pop_back();
  }
  Status ran = run_jobs(std::move(jobs), here ? &*here : nullptr);
  if (!ran) return ran;
  if (std::optional<Error> failed = errors.take()) return *std::move(failed);
  return ok();
}

// The groups of refs sorted by row id: one per run of a shard.
void groups_of_sorted(std::span<const RowRef> refs,
                      std::uint64_t rows_per_shard,
                      std::vector<Group>& groups) {
  groups.clear();
  for (std::size_t i = 0; i < refs.size(); ++i) {
    const std::uint64_t shard = refs[i].rowid / rows_per_shard;
    if (groups.empty() || groups.back().shard != shard) {
      groups.push_back(Group{shard, i, i});
    }
    groups.back().end = i + 1;
  }
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
      ::madvise(out.data() + (first - begin), last - first, MADV_HUGEPAGE));
}

}  // namespace

Result<std::size_t> fetch_output_size(std::uint64_t rows, std::uint64_t width) {
  const WideCount bytes = multiply_wide(rows, width);
  if (bytes.high != 0 || bytes.low >= (std::uint64_t{1} << 63)) {
    return capacity_overflow();
  }
  return static_cast<std::size_t>(bytes.low);
}

Status gather_rows(const Store& store, std::span<const std::uint64_t> rowids,
                   std::span<std::byte> out, GatherReport* report,
                   DeviceReads* device_reads) {
  if (rowids.empty() || store.geometry().width == 0) return ok();
  advise_huge_pages(out);
  thread_local PlanScratch scratch;
  group_by_shard(rowids, store.geometry(), scratch);

  // The page cache first, without waiting: on the calling thread alone for
  // a small request (a hand-off would cost more than its reads), else with
  // pool workers on the other CPUs. Never a thread started for it: that
  // would cost more than the reads, and a failed start is the pooled
  // route's to report.
  static const std::size_t kCpus =
      static_cast<std::size_t>(available_cpus().value_or(1));
  const std::size_t helpers =
      rowids.size() <= kCallerRows
          ? 0
          : static_cast<std::size_t>(
                std::min<std::uint64_t>(kCpus - 1, pooled_workers()));
  ReadCounts cached;
  Status st = ok();
  const bool probe = device_reads != nullptr && device_reads->probe_cache();
  if (device_reads != nullptr && device_reads->direct()) {
    // Direct reads bypass the page cache: every row goes to the device.
    scratch.missed.assign(scratch.refs.begin(), scratch.refs.end());
  } else if (helpers == 0) {
    scratch.missed.clear();
    CallErrors errors;
    st = run_groups(store, scratch.groups, scratch.refs.data(), out.data(),
                    errors, &cached, &scratch.missed, probe);
    if (st) {
      if (std::optional<Error> failed = errors.take()) st = *std::move(failed);
    }
  } else {
    std::vector<std::vector<RowRef>>& lists = scratch.missed_lists;
    for (std::vector<RowRef>& list : lists) list.clear();
    st = run_group_jobs(store, scratch.groups, scratch.refs.data(), out.data(),
                        &cached, helpers + 1, true, &lists, probe);
    scratch.missed.clear();
    for (const std::vector<RowRef>& list : lists) {
      scratch.missed.insert(scratch.missed.end(), list.begin(), list.end());
    }
  }

  // Then the device, for what was missed: `device_reads`, or the pool.
  ReadCounts device;
  if (st && device_reads != nullptr && !scratch.missed.empty()) {
    std::sort(scratch.missed.begin(), scratch.missed.end());
    ReadTally tally;
    st = device_reads->read(scratch.missed, out.data(), tally);
    device.add(tally);
  } else if (st) {
    if (!scratch.missed.empty()) {
      groups_of_sorted(scratch.missed, store.geometry().rows_per_shard,
                       scratch.groups);
      st = run_group_jobs(
          store, scratch.groups, scratch.missed.data(), out.data(), &device,
          static_cast<std::size_t>(store.threads()), false, nullptr);
    }
  }
  if (report != nullptr) {
    report->inline_rows = cached.rows.load(std::memory_order_relaxed);
    report->worker_rows = device.rows.load(std::memory_order_relaxed);
    report->read_calls = cached.calls.load(std::memory_order_relaxed) +
                         device.calls.load(std::memory_order_relaxed);
    report->bytes_read = cached.bytes.load(std::memory_order_relaxed) +
                         device.bytes.load(std::memory_order_relaxed);
  }
  scratch.trim();
  return st;
}

bool inside_table(std::span<const std::uint64_t> rowids,
                  const ShardGeometry& geometry) {
  const WideCount total = geometry.total_rows();
  if (total.high != 0) return true;
  const auto highest = std::max_element(rowids.begin(), rowids.end());
  return highest == rowids.end() || *highest < total.low;
}

Status fetch_rows(const Store& store, std::span<const std::uint64_t> rowids,
                  std::span<std::byte> out) {
  if (rowids.empty()) return ok();
  const ShardGeometry& geometry = store.geometry();
  if (geometry.rows_per_shard == 0)
    return fault(std::string(texts::kDivideByZero));
  const Result<std::size_t> size =
      fetch_output_size(rowids.size(), geometry.width);
  if (!size) return size.error();
  if (*size != out.size()) {
    return assert_eq_fault("output buffer size", str_cat(*size),
                           str_cat(out.size()));
  }
  // A request inside the table goes the engine's way: a small cached one is
  // served by this thread alone. Anything that fails there is done again
  // below, so that errors and faults are reported exactly as the pooled
  // route reports them.
  if (geometry.width > 0 && inside_table(rowids, geometry) &&
      gather_rows(store, rowids, out, nullptr)) {
    return ok();
  }

  advise_huge_pages(out);
  thread_local PlanScratch scratch;
  group_by_shard(rowids, geometry, scratch);
  Status ran = run_group_jobs(
      store, scratch.groups, scratch.refs.data(), out.data(), nullptr,
      static_cast<std::size_t>(store.threads()), false, nullptr);
  scratch.trim();
  return ran;
}

}  // namespace larkspur::io
