// RowCache: whole rows of one table kept in memory, keyed by row id, within
// a byte budget, for any number of threads.
//
// The rows are split by a hash of their id over up to 64 shards, each an
// S3-FIFO with its own lock: a hit is a probe and a copy under that lock,
// on the calling thread, with no system call. A call's misses are claimed
// as loads: a second call missing a row that is being read waits for that
// read instead of reading the row again, and every waiter gets the bytes
// even if the row is evicted at once.
//
// A cache belongs to the process that made it: its memory is not inherited
// by a forked child (MADV_DONTFORK), which must make a cache of its own.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <unordered_map>
#include <vector>

#include "larkspur-core/src/base/mapping.h"
#include "larkspur-core/src/base/process.h"
#include "larkspur-core/src/base/result.h"
#include "larkspur-io/src/cache/s3fifo.h"

namespace larkspur::io {

// What a cache has done; hits and misses by n-gram order count only calls
// that name their rows by token (16 heads a token: 0-7 bigrams, 8-15
// trigrams).
struct CacheCounts {
  std::uint64_t hits = 0;
  std::uint64_t misses = 0;
  std::uint64_t hits_low = 0;  // heads 0-7
  std::uint64_t misses_low = 0;
  std::uint64_t hits_high = 0;  // heads 8-15
  std::uint64_t misses_high = 0;
  std::uint64_t admissions = 0;
  std::uint64_t evictions = 0;
};

class RowCache {
  struct Shard;

 public:
  // How many rows `budget` bytes hold (rows, their bookkeeping and the
  // shards' own state), at most 2^32 - 1 a shard; 0 when not one.
  static std::uint64_t capacity(std::uint64_t budget, std::uint64_t width);

  // A cache of rows of `width` bytes within `budget` bytes. Fails with
  // EINVAL when the budget holds no row, no_memory() when the memory
  // cannot be mapped.
  static Result<std::unique_ptr<RowCache>> make(std::uint64_t budget,
                                                std::uint64_t width);
  ~RowCache();
  RowCache(const RowCache&) = delete;
  RowCache& operator=(const RowCache&) = delete;

  // A row some call is reading, made once a second call misses it: the
  // reader publishes the row's bytes (or its failure) there, and every
  // call that missed it meanwhile waits for them.
  class Load {
   public:
    // Waits until published; whether the bytes came (false: the read
    // failed, and the waiter reads the row itself).
    bool wait() const;
    // Valid once wait() returned true.
    std::span<const std::byte> bytes() const { return bytes_; }

   private:
    friend class RowCache;
    enum State : std::uint32_t { kReading, kDone, kFailed };
    std::atomic<std::uint32_t> state_{kReading};
    std::vector<std::byte> bytes_;  // written before state_
  };

  // One call's use of the cache: look up every row, read the misses, then
  // finish(). Not thread-safe itself; one per call.
  class Call {
   public:
    // A row this call reads: its id, where its first use goes, and how
    // many more uses of it the call has.
    struct Miss {
      std::uint64_t rowid;
      std::uint64_t first;
      std::uint32_t extra;
      // Whether this call admits and publishes it: false when another
      // call was reading it already (a call that does not wait reads it
      // too).
      bool publish;
    };

    // Looks `rowids` up, copying each held row into `out` (rowids.size()
    // rows of the cache's width, which must stay valid until finish(); the
    // ids need not); `heads` (16 or 0) says whether the rows come 16 a
    // token, for the counts by order. With `wait_for_others`,
    // rows another call is reading are waited for in finish(); without
    // (a call that must not block), this call reads them too.
    Call(RowCache& cache, std::span<const std::uint64_t> rowids,
         std::span<std::byte> out, std::uint32_t heads, bool wait_for_others);
    Call(Call&&) = delete;
    Call& operator=(Call&&) = delete;
    Call(const Call&) = delete;
    Call& operator=(const Call&) = delete;
    // A call dropped before finish() fails its loads.
    ~Call();

    // The distinct rows to read, in order of first use: read each into
    // `rows` (misses().size() rows) before finish().
    const std::vector<Miss>& misses() const { return misses_; }
    // Whether finish() has rows to wait for, or the call rows to read.
    bool blocks() const { return !misses_.empty() || !waits_.empty(); }
    std::vector<std::uint64_t> miss_ids() const;

    // With the misses' bytes in `rows` (when `read` is ok): copies them to
    // every use in `out`, admits them and publishes them; then waits for
    // the rows other calls were reading. Returns the positions whose rows
    // the call must still read itself (their reader failed); on a failed
    // read, publishes the failure and returns it.
    Result<std::vector<std::uint64_t>> finish(const Status& read,
                                              std::span<const std::byte> rows);

   private:
    struct Wait {
      std::uint64_t pos;
      std::shared_ptr<Load> load;
    };
    // Looks up the row `r` at position k in `s`, whose lock is held.
    void probe(Shard& s, std::uint64_t k, std::uint64_t r,
               bool wait_for_others);
    // probe() for every row, shard by shard, each lock taken once.
    void probe_by_shard(std::span<const std::uint64_t> rowids,
                        bool wait_for_others);
    // A later use, at position k, of the row of misses_[miss].
    void repeat(std::uint64_t k, std::size_t miss);
    // Counts the call's hits and misses of `n` rows into the cache's.
    void count(std::uint64_t n) const;
    void publish(const Status& read, std::span<const std::byte> rows);
    // Admits the row of `m` into `s` (locked) unless the cache was cleared
    // since the call looked.
    void admit(Shard& s, const Miss& m, const std::byte* row);

    RowCache& cache_;
    std::span<std::byte> out_;
    std::uint32_t heads_;
    // The cache's generation when the call looked: rows read after a
    // clear() that came later are not admitted.
    std::uint64_t generation_;
    std::vector<Miss> misses_;
    // Later uses of a missed row: (position, index into misses_).
    std::vector<std::pair<std::uint64_t, std::size_t>> repeats_;
    std::vector<Wait> waits_;
    // Rows this call reads that another call reads too (it does not wait
    // for them), by row id: for their later uses in the call.
    std::unordered_map<std::uint64_t, std::size_t> also_;
    bool published_ = false;
  };

  std::uint64_t width() const { return width_; }
  std::uint64_t budget() const { return budget_; }
  // Rows the cache can hold, and holds now.
  std::uint64_t capacity_rows() const { return capacity_; }
  std::uint64_t rows_held() const;
  CacheCounts counts() const;
  void reset_counts();

  // Drops every row; rows being read when it is called are not admitted.
  void clear();

  bool made_here() const { return this_process() == owner_; }

  // For make() alone.
  class Key {
    friend class RowCache;
    Key() = default;
  };
  RowCache(Key /*key*/, std::uint64_t budget, std::uint64_t width,
           Mapping memory, std::uint32_t shards, std::uint32_t slots_per_shard);

 private:
  Shard& shard_of(std::uint64_t rowid) const;

  std::uint64_t budget_;
  std::uint64_t width_;
  std::uint64_t capacity_;
  Mapping memory_;
  pid_t owner_;
  std::uint32_t shard_mask_;
  std::vector<std::unique_ptr<Shard>> shards_;
  std::atomic<std::uint64_t> generation_{0};

  std::atomic<std::uint64_t> hits_{0};
  std::atomic<std::uint64_t> misses_{0};
  std::atomic<std::uint64_t> hits_low_{0};
  std::atomic<std::uint64_t> misses_low_{0};
  std::atomic<std::uint64_t> hits_high_{0};
  std::atomic<std::uint64_t> misses_high_{0};
  std::atomic<std::uint64_t> admissions_{0};
  std::atomic<std::uint64_t> evictions_{0};
};

}  // namespace larkspur::io
