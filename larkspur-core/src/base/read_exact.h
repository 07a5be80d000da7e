// Positional reads: one pread, or a buffer filled by repeated preads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "larkspur-core/src/base/result.h"

namespace larkspur {

// One pread of up to buf.size() bytes at `offset`. Returns the count read
// (0 at end of file) or the system error; no retry, EINTR included.
Result<std::size_t> read_at(int fd, std::span<std::byte> buf,
                            std::uint64_t offset);

// Fills all of `buf` from `offset`, continuing short reads. A read of 0
// bytes before the end fails with "read_exact_at: eof inside buffer"; a
// failed call fails at once, EINTR included. An empty buffer makes no call.
Status read_exact_at(int fd, std::span<std::byte> buf, std::uint64_t offset);

}  // namespace larkspur
