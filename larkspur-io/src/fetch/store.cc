// Opening a table's shard files.
#include "larkspur-io/src/fetch/store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>

#include "larkspur-core/src/base/file.h"
#include "larkspur-core/src/base/no_destructor.h"

namespace larkspur::io {

namespace {

// pread(2) and preadv2(2); a read a signal interrupted (EINTR) is retried.
class PreadReader final : public PositionalReader {
 public:
  Result<std::size_t> read_at(int fd, std::span<std::byte> buf,
                              std::uint64_t offset) const override {
    return ::larkspur::read_at(fd, buf, offset);
  }

  Result<CachedRead> read_cached(int fd, std::span<std::byte> buf,
                                 std::uint64_t offset) const override {
    return read_cached_at(fd, buf, offset);
  }

  std::optional<bool> cached(int fd, std::uint64_t offset,
                             std::uint64_t length) const override {
    return page_cache_holds(fd, offset, length);
  }

  void prefetch(int fd, std::uint64_t offset,
                std::uint64_t length) const override {
    // Queues the reads and returns; the data is not waited for.
    static_cast<void>(::readahead(fd, static_cast<off64_t>(offset),
                                  static_cast<std::size_t>(length)));
  }
};

// Closes in increasing shard order (a vector's own destruction order is
// unspecified).
void close_in_order(std::vector<UniqueFd>& fds) noexcept {
  for (UniqueFd& fd : fds) fd.reset();
  fds.clear();
}

}  // namespace

const PositionalReader& pread_reader() {
  // Never destroyed: pool workers and threads the exiting interpreter left
  // running may still read through it while exit() runs destructors.
  static NoDestructor<const PreadReader> reader;
  return *reader;
}

Store::Store(std::vector<UniqueFd> fds, ShardGeometry geometry,
             std::uint64_t threads, const PositionalReader& reader)
    : fds_(std::move(fds)),
      geometry_(geometry),
      threads_(threads),
      reader_(&reader) {}

Store& Store::operator=(Store&& other) noexcept {
  if (this != &other) {
    close_all();
    fds_ = std::move(other.fds_);
    geometry_ = other.geometry_;
    threads_ = other.threads_;
    reader_ = other.reader_;
  }
  return *this;
}

void Store::close_all() noexcept { close_in_order(fds_); }

Result<Store> Store::open(std::string_view dir, ShardGeometry geometry,
                          std::uint64_t threads) {
  std::vector<UniqueFd> fds;
  // A table that cannot even be reserved fails before any file is opened.
  if (geometry.shards > fds.max_size()) return Error::no_memory();
  fds.reserve(static_cast<std::size_t>(geometry.shards));
  for (std::uint64_t i = 0; i < geometry.shards; ++i) {
    if (dir.find('\0') != std::string_view::npos) {
      close_in_order(fds);
      return Error::os_text("file name contained an unexpected NUL byte");
    }
    // Whatever the preferred path names, if stat() can see it, it is the
    // one opened; any stat() failure (not just ENOENT) means the fallback.
    std::string path = shard_file_path(dir, i);
    struct stat st {};
    int unseen = 0;
    if (::stat(path.c_str(), &st) != 0) {
      unseen = errno;
      path = badge_file_path(dir, i);
    }
    Result<OpenFile> file = open_file(path, FileKinds::kRegularOrBlock);
    if (!file) {
      close_in_order(fds);
      // With no fallback file either, a preferred name that exists but
      // cannot be looked at (a symlink loop, say) says more by its own
      // error than the fallback's "not found".
      if (unseen != 0 && unseen != ENOENT &&
          file.error().sys_errno() == ENOENT) {
        return Error::from_errno(unseen);
      }
      return std::move(file).error();
    }
    fds.push_back(std::move(file->fd));
  }
  return Store(std::move(fds), geometry, threads);
}

}  // namespace larkspur::io
