// Store: the open shard files of a row table.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "larkspur-core/src/base/file.h"
#include "larkspur-core/src/base/result.h"
#include "larkspur-core/src/base/unique_fd.h"
#include "larkspur-core/src/layout/shard_geometry.h"

namespace larkspur::io {

// Positional reads of a descriptor. Stateless; shared by every thread.
class PositionalReader {
 public:
  virtual ~PositionalReader() = default;
  // One read of up to buf.size() bytes at `offset`: the count read (0 at
  // end of file) or the system error. A read a signal interrupted (EINTR)
  // is retried, never reported; short reads are not continued.
  virtual Result<std::size_t> read_at(int fd, std::span<std::byte> buf,
                                      std::uint64_t offset) const = 0;
  // Like read_at (EINTR retried too), but only from the page cache, never
  // waiting for the device. Unsupported unless overridden.
  virtual Result<CachedRead> read_cached(int /*fd*/,
                                         std::span<std::byte> /*buf*/,
                                         std::uint64_t /*offset*/) const {
    return CachedRead{CachedRead::State::kUnsupported, 0};
  }
  // Whether the page cache holds all of [offset, offset + length), asking
  // nothing of the device; none where it cannot tell (the default).
  virtual std::optional<bool> cached(int /*fd*/, std::uint64_t /*offset*/,
                                     std::uint64_t /*length*/) const {
    return std::nullopt;
  }
  // Starts reading [offset, offset + length) into the page cache and
  // returns without waiting. A hint: failures are ignored.
  virtual void prefetch(int /*fd*/, std::uint64_t /*offset*/,
                        std::uint64_t /*length*/) const {}
};

// The reader stores use unless told otherwise: pread(2) and preadv2(2).
// Never destroyed, so reads may go on while the process exits.
const PositionalReader& pread_reader();

// The descriptors of a table's shard files, one per shard, with the table's
// geometry and the job bound of its fetches. Owns the descriptors and
// closes them, in increasing shard order, when destroyed. Immutable after
// construction, so any thread may use a Store, several at once: it only
// does positional reads, which share no file position.
class Store {
 public:
  // Opens shard i of `dir` for i = 0 .. shards - 1: "shard_{i}.bin" if
  // stat() of that path succeeds, else "badge_{i}.bin", as open_file does
  // (a regular file or a block device; a directory fails with EISDIR). On
  // failure every descriptor opened so far is closed and the open error is
  // returned; when neither name exists and stat() of the first failed for
  // another reason than ENOENT (ELOOP, say), that reason is returned.
  static Result<Store> open(std::string_view dir, ShardGeometry geometry,
                            std::uint64_t threads);

  // Opens shard i's rows at paths[i], where extents[i] says they lie (the
  // two of equal size, geometry.shards each). A file several shards share
  // is opened once and its descriptor duplicated, so that they all read
  // one file even if another is renamed into its place meanwhile. Fails
  // as open() does.
  static Result<Store> open_files(std::span<const std::string> paths,
                                  std::vector<ShardExtent> extents,
                                  ShardGeometry geometry,
                                  std::uint64_t threads);

  // Takes ownership of `fds` (one per shard, geometry.shards of them).
  // `extents`: one per shard, or none for whole files.
  Store(std::vector<UniqueFd> fds, ShardGeometry geometry,
        std::uint64_t threads, const PositionalReader& reader = pread_reader(),
        std::vector<ShardExtent> extents = {});

  Store(Store&& other) noexcept = default;
  Store& operator=(Store&& other) noexcept;
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;
  ~Store() { close_all(); }

  const ShardGeometry& geometry() const { return geometry_; }
  std::uint64_t threads() const { return threads_; }
  std::uint64_t shard_count() const { return fds_.size(); }
  // Requires shard < shard_count().
  int fd(std::uint64_t shard) const { return fds_[shard].get(); }
  const PositionalReader& reader() const { return *reader_; }
  // Where each shard's rows lie in its file (shard_count() of them).
  std::span<const ShardExtent> extents() const { return extents_; }

  // Closes every descriptor now, in increasing shard order; the Store has
  // no shards afterwards.
  void close() noexcept { close_all(); }

 private:
  void close_all() noexcept;

  std::vector<UniqueFd> fds_;
  std::vector<ShardExtent> extents_;
  ShardGeometry geometry_;
  std::uint64_t threads_;
  const PositionalReader* reader_;
};

}  // namespace larkspur::io
