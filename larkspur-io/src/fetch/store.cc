// Opening a table's shard files.
#include "larkspur-io/src/fetch/store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <string_view>
#include <unordered_map>

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

// Another descriptor of `fd`'s open file, closed on exec.
Result<UniqueFd> duplicate_fd(int fd) {
  const int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (copy < 0) return Error::from_errno(errno);
  return UniqueFd(copy);
}

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
             std::uint64_t threads, const PositionalReader& reader,
             std::vector<ShardExtent> extents)
    : fds_(std::move(fds)),
      extents_(std::move(extents)),
      geometry_(geometry),
      threads_(threads),
      reader_(&reader) {
  extents_.resize(fds_.size());
}

Store& Store::operator=(Store&& other) noexcept {
  if (this != &other) {
    close_all();
    fds_ = std::move(other.fds_);
    extents_ = std::move(other.extents_);
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

Result<Store> Store::open_files(std::span<const std::string> paths,
                                std::vector<ShardExtent> extents,
                                ShardGeometry geometry, std::uint64_t threads) {
  if (paths.size() != geometry.shards || extents.size() != paths.size()) {
    return Error::invalid_argument("one file and extent per shard are needed");
  }
  std::vector<UniqueFd> fds;
  fds.reserve(paths.size());
  // The shard that opened each file.
  std::unordered_map<std::string_view, std::size_t> opened;
  for (std::size_t i = 0; i < paths.size(); ++i) {
    Result<UniqueFd> fd = Error::from_errno(EBADF);
    if (const auto at = opened.find(paths[i]); at != opened.end()) {
      fd = duplicate_fd(fds[at->second].get());
    } else if (paths[i].find('\0') != std::string::npos) {
      fd = Error::os_text("file name contained an unexpected NUL byte");
    } else {
      Result<OpenFile> file = open_file(paths[i], FileKinds::kRegularOrBlock);
      fd = file ? Result<UniqueFd>(std::move(file->fd))
                : Result<UniqueFd>(std::move(file).error());
      opened.emplace(paths[i], i);
    }
    if (!fd) {
      close_in_order(fds);
      return std::move(fd).error();
    }
    fds.push_back(std::move(*fd));
  }
  return Store(std::move(fds), geometry, threads, pread_reader(),
               std::move(extents));
}

}  // namespace larkspur::io
