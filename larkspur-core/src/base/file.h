// Files: opening by one policy, positional and exact reads, and reading a
// whole file with a size bound.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "larkspur-core/src/base/result.h"
#include "larkspur-core/src/base/unique_fd.h"

namespace larkspur {

// The kinds of file an open accepts.
enum class FileKinds {
  kRegular,         // regular files only
  kRegularOrBlock,  // regular files and block devices
};

// An open file and its size in bytes when it was opened (a block device's
// capacity; st_size otherwise).
struct OpenFile {
  UniqueFd fd;
  std::uint64_t size = 0;
};

// Opens `path` read-only and close-on-exec. The open never waits for a
// writer (O_NONBLOCK, cleared again once the file is known to be of an
// accepted kind) and is retried on EINTR. Fails with the error of open or
// fstat, EISDIR for a directory, ESPIPE for a FIFO or socket, EINVAL for
// any other kind not accepted, and "file name contained an unexpected NUL
// byte" for a path holding a NUL byte. Nothing stays open on failure.
Result<OpenFile> open_file(std::string_view path, FileKinds kinds);

// One pread of up to buf.size() bytes at `offset`, retried on EINTR.
// Returns the count read (0 at end of file) or the system error.
Result<std::size_t> read_at(int fd, std::span<std::byte> buf,
                            std::uint64_t offset);

// What a read that must not wait for the device achieved.
struct CachedRead {
  enum class State {
    kRead,         // `count` bytes read (0 at end of file)
    kWouldBlock,   // the bytes are not in the page cache
    kUnsupported,  // this reader or file cannot tell
  };
  State state;
  std::size_t count;
};

// One read of up to buf.size() bytes at `offset` that may not wait for the
// device (preadv2 with RWF_NOWAIT), retried on EINTR.
Result<CachedRead> read_cached_at(int fd, std::span<std::byte> buf,
                                  std::uint64_t offset);

// Whether the page cache holds every page of [offset, offset + length) of
// `fd` (cachestat(2)), asking nothing of the device; none where the kernel
// cannot tell (before Linux 6.5) or the call fails.
std::optional<bool> page_cache_holds(int fd, std::uint64_t offset,
                                     std::uint64_t length);

// Fills all of `buf` from `offset`, continuing short reads and retrying
// EINTR. A read of 0 bytes before the end fails with "read_exact_at: eof
// inside buffer"; any other failed call fails at once. An empty buffer
// makes no call.
Status read_exact_at(int fd, std::span<std::byte> buf, std::uint64_t offset);

// One read(2) of up to buf.size() bytes, retried on EINTR: the count read
// (0 at end of file) or the system error.
Result<std::size_t> read_some(int fd, std::span<std::byte> buf);

// Everything `fd` yields from its current position to its end, read with
// read_some. Fails with "file is larger than {limit} bytes"
// as soon as more than `limit` bytes arrive, so a file that never ends
// cannot exhaust memory.
Result<std::string> read_all(int fd, std::size_t limit);

// The whole of the regular file at `path`: open_file, then read_all.
Result<std::string> read_file(std::string_view path, std::size_t limit);

}  // namespace larkspur
