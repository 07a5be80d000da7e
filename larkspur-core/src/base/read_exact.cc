// Positional read helpers shared by the row store and the record view.
#include "larkspur-core/src/base/read_exact.h"

#include <unistd.h>

#include <cerrno>

namespace larkspur {

Result<std::size_t> read_at(int fd, std::span<std::byte> buf,
                            std::uint64_t offset) {
  const ssize_t n =
      ::pread(fd, buf.data(), buf.size(), static_cast<off_t>(offset));
  if (n < 0) return Error::from_errno(errno);
  return static_cast<std::size_t>(n);
}

Status read_exact_at(int fd, std::span<std::byte> buf, std::uint64_t offset) {
  std::size_t done = 0;
  while (done < buf.size()) {
    // Each retry asks for everything still missing, at the matching offset.
    const ssize_t n = ::pread(fd, buf.data() + done, buf.size() - done,
                              static_cast<off_t>(offset + done));
    if (n < 0) return Error::from_errno(errno);
    if (n == 0) return Error::io("read_exact_at: eof inside buffer");
    done += static_cast<std::size_t>(n);
  }
  return ok();
}

}  // namespace larkspur
