// RowCache: the shards, a call's lookups, and the loads that let one read
// serve every call missing the same row.
#include "larkspur-io/src/cache/row_cache.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <cstring>
#include <limits>
#include <utility>

#include "larkspur-core/src/base/memory.h"

namespace larkspur::io {

namespace {
constexpr std::uint32_t kMaxShards = 64;
}  // namespace

namespace {

// The rows of one shard some call is reading, by row id: open addressing
// with linear probing in a power-of-two table at most half full, deletion
// by backward shift; no allocation per row once grown.
class PendingRows {
 public:
  struct Entry {
    std::uint64_t rowid = 0;
    const void* reader = nullptr;          // the Call reading it; null: empty
    std::uint32_t miss = 0;                // its index in the reader's misses
    std::shared_ptr<RowCache::Load> load;  // once another call waits
  };

  Entry* find(std::uint64_t rowid) {
    if (cells_.empty()) return nullptr;
    for (std::size_t at = home(rowid);; at = (at + 1) & mask_) {
      Entry& e = cells_[at];
      if (e.reader == nullptr) return nullptr;
      if (e.rowid == rowid) return &e;
    }
  }

  // `rowid` is not there.
  void insert(std::uint64_t rowid, const void* reader, std::uint32_t miss) {
    if ((used_ + 1) * 2 > cells_.size()) grow();
    std::size_t at = home(rowid);
    while (cells_[at].reader != nullptr) at = (at + 1) & mask_;
    cells_[at] = {rowid, reader, miss, nullptr};
    ++used_;
  }

  // Takes `rowid` (there) out: its load, if any call waits for it.
  std::shared_ptr<RowCache::Load> erase(std::uint64_t rowid) {
    std::size_t hole = home(rowid);
    while (cells_[hole].rowid != rowid || cells_[hole].reader == nullptr) {
      hole = (hole + 1) & mask_;
    }
    std::shared_ptr<RowCache::Load> load = std::move(cells_[hole].load);
    for (std::size_t at = (hole + 1) & mask_; cells_[at].reader != nullptr;
         at = (at + 1) & mask_) {
      const std::size_t h = home(cells_[at].rowid);
      // Moves back unless its probe starts after the hole.
      if (((at - h) & mask_) >= ((at - hole) & mask_)) {
        cells_[hole] = std::move(cells_[at]);
        hole = at;
      }
    }
    cells_[hole] = Entry{};
    // A burst of misses grew it: give the memory back once idle.
    if (--used_ == 0 && cells_.size() > kKeptCells) {
      std::vector<Entry>().swap(cells_);
    }
    return load;
  }

 private:
  static constexpr std::size_t kKeptCells = 1024;

  std::size_t home(std::uint64_t rowid) const {
    return (S3Fifo::mix(rowid) >> 20) & mask_;
  }

  void grow() {
    std::vector<Entry> old = std::exchange(
        cells_,
        std::vector<Entry>(std::max<std::size_t>(16, cells_.size() * 2)));
    mask_ = cells_.size() - 1;
    for (Entry& e : old) {
      if (e.reader == nullptr) continue;
      std::size_t at = home(e.rowid);
      while (cells_[at].reader != nullptr) at = (at + 1) & mask_;
      cells_[at] = std::move(e);
    }
  }

  std::vector<Entry> cells_;
  std::size_t mask_ = 0;
  std::size_t used_ = 0;
};

}  // namespace

struct alignas(64) RowCache::Shard {
  Shard(std::uint32_t slots, std::byte* rows_at, std::span<std::byte> arrays)
      : policy(slots, arrays), rows(rows_at) {}

  std::mutex mu;
  S3Fifo policy;        // guarded by mu
  std::byte* rows;      // slot s's row at rows + s × width; guarded by mu
  PendingRows reading;  // guarded by mu
};

namespace {

// Rows a shard should hold at least before the cache splits further: below
// that, one more lock buys no concurrency worth the policy's precision.
constexpr std::uint64_t kRowsPerShard = 1024;
constexpr std::uint64_t kPage = 4096;
// Calls of up to this many rows prefetch their rows' memory before they
// look: enough rows to overlap their misses, few enough that the first
// are still in the CPU's cache when used.
constexpr std::size_t kPrefetchRows = 64;
// A shard's lock, policy and map of loads, at most (checked below).
constexpr std::uint64_t kShardState = 512;

std::uint64_t round_up(std::uint64_t n, std::uint64_t to) {
  return (n + to - 1) / to * to;
}

std::uint32_t shards_for(std::uint64_t rows) {
  const std::uint64_t want =
      std::clamp<std::uint64_t>(rows / kRowsPerShard, 1, kMaxShards);
  return static_cast<std::uint32_t>(std::bit_floor(want));
}

// Where shard i's rows and arrays lie in the mapping, and its size.
struct Layout {
  std::uint32_t shards;
  std::uint32_t slots;  // per shard
  std::uint64_t rows_bytes;
  std::uint64_t arrays_bytes;
  std::uint64_t shard_bytes() const {
    return round_up(rows_bytes + arrays_bytes, 64);
  }
  std::uint64_t mapping_bytes() const {
    return round_up(shard_bytes() * shards, kPage);
  }
  // Everything the cache may touch: the shards' memory (the mapping's
  // rounding up to a page never is) and their own state.
  std::uint64_t total() const { return (shard_bytes() + kShardState) * shards; }
};

Layout layout(std::uint64_t rows, std::uint64_t width) {
  Layout l{};
  l.shards = shards_for(rows);
  l.slots = static_cast<std::uint32_t>(rows / l.shards);
  l.rows_bytes = round_up(std::uint64_t{l.slots} * width, 64);
  l.arrays_bytes = S3Fifo::bookkeeping_bytes(l.slots);
  return l;
}

}  // namespace

bool RowCache::Load::wait() const {
  std::uint32_t s = state_.load(std::memory_order_acquire);
  while (s == kReading) {
    state_.wait(kReading, std::memory_order_acquire);
    s = state_.load(std::memory_order_acquire);
  }
  return s == kDone;
}

std::uint64_t RowCache::capacity(std::uint64_t budget, std::uint64_t width) {
  if (width == 0) return 0;
  // The largest row count whose layout fits: the size grows with the
  // rows (more shards cost only their rounding), so a binary search.
  std::uint64_t lo = 0;
  std::uint64_t hi = std::min<std::uint64_t>(
      budget / width,
      std::uint64_t{kMaxShards} * std::numeric_limits<std::uint32_t>::max());
  while (lo < hi) {
    const std::uint64_t mid = lo + (hi - lo + 1) / 2;
    if (layout(mid, width).total() <= budget) {
      lo = mid;
    } else {
      hi = mid - 1;
    }
  }
  // Whole shards: the rows a layout of `lo` really gives.
  if (lo == 0) return 0;
  const Layout l = layout(lo, width);
  return std::uint64_t{l.slots} * l.shards;
}

Result<std::unique_ptr<RowCache>> RowCache::make(std::uint64_t budget,
                                                 std::uint64_t width) {
  const std::uint64_t rows = capacity(budget, width);
  if (rows == 0) return Error::from_errno(EINVAL);
  const Layout l = layout(rows, width);
  const std::uint64_t bytes = l.mapping_bytes();
  if (bytes > std::numeric_limits<std::size_t>::max()) {
    return Error::no_memory();
  }
  // Pages come as rows arrive: an empty cache holds no memory.
  void* mem = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (mem == MAP_FAILED) {
    return errno == ENOMEM ? Error::no_memory() : Error::from_errno(errno);
  }
  Mapping memory(mem, bytes);
  if (::madvise(mem, bytes, MADV_DONTFORK) != 0) {
    return Error::from_errno(errno);
  }
  // No MADV_HUGEPAGE: 2 MiB pages made 16 held rows 15% faster to copy,
  // but an empty 512 MB cache's first 65,536-row fill then zeroed most of
  // it at once (0.55 s against 0.08 s).
  return std::make_unique<RowCache>(Key(), budget, width, std::move(memory),
                                    l.shards, l.slots);
}

RowCache::RowCache(Key /*key*/, std::uint64_t budget, std::uint64_t width,
                   Mapping memory, std::uint32_t shards,
                   std::uint32_t slots_per_shard)
    : budget_(budget),
      width_(width),
      capacity_(std::uint64_t{slots_per_shard} * shards),
      memory_(std::move(memory)),
      owner_(this_process()),
      shard_mask_(shards - 1) {
  static_assert(sizeof(Shard) <= kShardState);
  const Layout l = layout(capacity_, width);
  shards_.reserve(shards);
  for (std::uint32_t i = 0; i < shards; ++i) {
    std::byte* base = memory_.bytes() + l.shard_bytes() * i;
    shards_.push_back(std::make_unique<Shard>(
        slots_per_shard, base,
        std::span<std::byte>(base + l.rows_bytes, l.arrays_bytes)));
  }
}

RowCache::~RowCache() {
  // A forked child never had the mapping: something else of its own may
  // lie at that address now.
  if (!made_here()) memory_.leak();
}

RowCache::Shard& RowCache::shard_of(std::uint64_t rowid) const {
  return *shards_[S3Fifo::mix(rowid) & shard_mask_];
}

std::uint64_t RowCache::rows_held() const {
  std::uint64_t n = 0;
  for (const std::unique_ptr<Shard>& s : shards_) {
    const std::lock_guard lock(s->mu);
    n += s->policy.held();
  }
  return n;
}

CacheCounts RowCache::counts() const {
  constexpr auto kRelaxed = std::memory_order_relaxed;
  CacheCounts c;
  c.hits = hits_.load(kRelaxed);
  c.misses = misses_.load(kRelaxed);
  c.hits_low = hits_low_.load(kRelaxed);
  c.misses_low = misses_low_.load(kRelaxed);
  c.hits_high = hits_high_.load(kRelaxed);
  c.misses_high = misses_high_.load(kRelaxed);
  c.admissions = admissions_.load(kRelaxed);
  c.evictions = evictions_.load(kRelaxed);
  return c;
}

void RowCache::reset_counts() {
  for (std::atomic<std::uint64_t>* c :
       {&hits_, &misses_, &hits_low_, &misses_low_, &hits_high_, &misses_high_,
        &admissions_, &evictions_}) {
    c->store(0, std::memory_order_relaxed);
  }
}

void RowCache::clear() {
  // Before the shards empty: a read that was claimed earlier checks the
  // generation under its shard's lock and is not admitted.
  generation_.fetch_add(1, std::memory_order_acq_rel);
  for (const std::unique_ptr<Shard>& s : shards_) {
    const std::lock_guard lock(s->mu);
    s->policy.clear();
  }
}

// ------------------------------------------------------------------- Call

namespace {

// The positions of `rowids` in order of their shard (counting sort, stable),
// with where each shard's run starts; the rows' index cells prefetched for
// a small call.
struct ShardOrder {
  std::vector<std::uint32_t> order;
  std::vector<std::uint8_t> shard_at;
  std::array<std::uint32_t, kMaxShards + 1> start{};
};

}  // namespace

void RowCache::Call::probe(Shard& s, std::uint64_t k, std::uint64_t r,
                           bool wait_for_others) {
  const std::uint64_t width = cache_.width_;
  if (const std::uint32_t slot = s.policy.find(r); slot != S3Fifo::kNone) {
    s.policy.touch(slot);
    std::memcpy(out_.data() + k * width, s.rows + std::uint64_t{slot} * width,
                width);
    return;
  }
  PendingRows::Entry* e = s.reading.find(r);
  if (e == nullptr) {
    s.reading.insert(r, this, static_cast<std::uint32_t>(misses_.size()));
    misses_.push_back({r, k, 0, true});
    return;
  }
  if (e->reader == this) {  // a later use of a row this call reads
    repeat(k, e->miss);
    return;
  }
  if (wait_for_others) {
    if (!e->load) e->load = std::make_shared<Load>();
    waits_.push_back({k, e->load});
    return;
  }
  // Read here too; its later uses in the call are found in `also_`.
  if (auto it = also_.find(r); it != also_.end()) {
    repeat(k, it->second);
    return;
  }
  also_.emplace(r, misses_.size());
  misses_.push_back({r, k, 0, false});
}

void RowCache::Call::repeat(std::uint64_t k, std::size_t miss) {
  ++misses_[miss].extra;
  repeats_.emplace_back(k, miss);
}

void RowCache::Call::probe_by_shard(std::span<const std::uint64_t> rowids,
                                    bool wait_for_others) {
  const std::uint64_t width = cache_.width_;
  const std::size_t shards = cache_.shards_.size();
  const bool small = rowids.size() <= kPrefetchRows;
  // In memory the thread keeps.
  thread_local ShardOrder by;
  by.order.resize(rowids.size());
  by.shard_at.resize(rowids.size());
  by.start.fill(0);
  for (std::size_t k = 0; k < rowids.size(); ++k) {
    const auto i =
        static_cast<std::uint8_t>(S3Fifo::mix(rowids[k]) & cache_.shard_mask_);
    by.shard_at[k] = i;
    ++by.start[i + 1];
    // Every row's memory is asked for before any is used, so that a small
    // call's cache misses overlap.
    if (small) cache_.shards_[i]->policy.prefetch_index(rowids[k]);
  }
  for (std::size_t i = 1; i <= shards; ++i) by.start[i] += by.start[i - 1];
  std::array<std::uint32_t, kMaxShards> next{};
  std::copy_n(by.start.begin(), shards, next.begin());
  for (std::size_t k = 0; k < rowids.size(); ++k) {
    by.order[next[by.shard_at[k]]++] = static_cast<std::uint32_t>(k);
  }
  for (std::size_t i = 0; i < shards; ++i) {
    const std::span<const std::uint32_t> run(by.order.data() + by.start[i],
                                             by.start[i + 1] - by.start[i]);
    if (run.empty()) continue;
    Shard& s = *cache_.shards_[i];
    const std::lock_guard lock(s.mu);
    for (const std::uint32_t k : small ? run : run.first(0)) {
      const std::uint32_t slot = s.policy.prefetch_slot(rowids[k]);
      if (slot == S3Fifo::kNone) continue;
      const std::byte* row = s.rows + std::uint64_t{slot} * width;
      for (std::uint64_t b = 0; b < width; b += 64) __builtin_prefetch(row + b);
    }
    for (const std::uint32_t k : run) probe(s, k, rowids[k], wait_for_others);
  }
  release_if_large(by.order);
  release_if_large(by.shard_at);
}

void RowCache::Call::count(std::uint64_t n) const {
  constexpr auto kRelaxed = std::memory_order_relaxed;
  RowCache& c = cache_;
  c.misses_.fetch_add(misses_.size(), kRelaxed);
  c.hits_.fetch_add(n - misses_.size(), kRelaxed);
  if (heads_ != 16) return;
  std::uint64_t low = 0;
  for (const Miss& m : misses_) low += (m.first % 16) < 8 ? 1 : 0;
  const std::uint64_t high = misses_.size() - low;
  c.misses_low_.fetch_add(low, kRelaxed);
  c.misses_high_.fetch_add(high, kRelaxed);
  c.hits_low_.fetch_add(n / 2 - low, kRelaxed);
  c.hits_high_.fetch_add(n / 2 - high, kRelaxed);
}

RowCache::Call::Call(RowCache& cache, std::span<const std::uint64_t> rowids,
                     std::span<std::byte> out, std::uint32_t heads,
                     bool wait_for_others)
    : cache_(cache),
      out_(out),
      heads_(heads),
      generation_(cache.generation_.load(std::memory_order_acquire)) {
  if (cache.shards_.size() > 1 &&
      rowids.size() <= std::numeric_limits<std::uint32_t>::max()) {
    probe_by_shard(rowids, wait_for_others);
  } else {
    for (std::uint64_t k = 0; k < rowids.size(); ++k) {
      Shard& s = cache.shard_of(rowids[k]);
      const std::lock_guard lock(s.mu);
      probe(s, k, rowids[k], wait_for_others);
    }
  }
  count(rowids.size());
}

RowCache::Call::~Call() {
  // A forked child's copy of a call: its loads are the parent's to end,
  // and the shard locks may have been held at the fork.
  if (!published_ && cache_.made_here()) {
    publish(Error::from_errno(ECANCELED), {});
  }
}

std::vector<std::uint64_t> RowCache::Call::miss_ids() const {
  std::vector<std::uint64_t> ids(misses_.size());
  for (std::size_t i = 0; i < misses_.size(); ++i) ids[i] = misses_[i].rowid;
  return ids;
}

void RowCache::Call::publish(const Status& read,
                             std::span<const std::byte> rows) {
  published_ = true;
  const std::uint64_t width = cache_.width_;
  const bool ok = static_cast<bool>(read);
  // Loads other calls wait for, told once no lock is held.
  std::vector<std::shared_ptr<Load>> told;
  // The misses come shard by shard: one lock for each run of them.
  std::unique_lock<std::mutex> lock;
  const Shard* locked = nullptr;
  for (std::size_t i = 0; i < misses_.size(); ++i) {
    const Miss& m = misses_[i];
    const std::byte* row = ok ? rows.data() + i * width : nullptr;
    if (ok) std::memcpy(out_.data() + m.first * width, row, width);
    if (!m.publish) continue;
    Shard& s = cache_.shard_of(m.rowid);
    if (&s != locked) {
      lock = std::unique_lock(s.mu);
      locked = &s;
    }
    std::shared_ptr<Load> load = s.reading.erase(m.rowid);
    if (ok) admit(s, m, row);
    if (load) {
      if (ok) load->bytes_.assign(row, row + width);
      told.push_back(std::move(load));
    }
  }
  if (lock.owns_lock()) lock.unlock();
  for (const std::shared_ptr<Load>& load : told) {
    load->state_.store(ok ? Load::kDone : Load::kFailed,
                       std::memory_order_release);
    load->state_.notify_all();
  }
  if (ok) {
    for (const auto& [pos, i] : repeats_) {
      std::memcpy(out_.data() + pos * width, rows.data() + i * width, width);
    }
  }
}

void RowCache::Call::admit(Shard& s, const Miss& m, const std::byte* row) {
  // The generation is read under the shard's lock, which clear() takes
  // after changing it.
  if (generation_ != cache_.generation_.load(std::memory_order_acquire)) {
    return;
  }
  bool out = false;
  const std::uint32_t slot = s.policy.admit(m.rowid, m.extra, out);
  std::memcpy(s.rows + std::uint64_t{slot} * cache_.width_, row, cache_.width_);
  cache_.admissions_.fetch_add(1, std::memory_order_relaxed);
  if (out) cache_.evictions_.fetch_add(1, std::memory_order_relaxed);
}

Result<std::vector<std::uint64_t>> RowCache::Call::finish(
    const Status& read, std::span<const std::byte> rows) {
  publish(read, rows);
  if (!read) return read.error();
  const std::uint64_t width = cache_.width_;
  std::vector<std::uint64_t> again;
  for (const Wait& w : waits_) {
    if (w.load->wait()) {
      std::memcpy(out_.data() + w.pos * width, w.load->bytes().data(), width);
    } else {
      again.push_back(w.pos);
    }
  }
  return again;
}

}  // namespace larkspur::io
