// PageList: the list of pages a page reader returns, filled in place, and
// the page-by-page read both page readers share.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "larkspur-core/src/base/result.h"
#include "larkspur-python/src/binding/py_ref.h"

namespace larkspur::py {

// A new list of n slots, each to hold one page: a bytes object of the page
// size, read into in place, then cut to the length actually read.
class PageList {
 public:
  explicit PageList(std::size_t n);

  // False with an exception set when the list could not be made.
  explicit operator bool() const { return static_cast<bool>(list_); }

  // Puts a new, unfilled page of `size` bytes in slot i and returns its
  // storage; nullptr with MemoryError set when it cannot be had.
  std::byte* fresh(std::size_t i, std::size_t size);

  // Cuts page i to its first `length` bytes. The limited API cannot shrink
  // a bytes object, so a short page is replaced by a copy. False with an
  // exception set.
  bool trim(std::size_t i, std::size_t length);

  PyRef take() { return std::move(list_); }

  // Gives up the list and its pages without releasing them: the kernel may
  // still write into their storage.
  void pin() { static_cast<void>(list_.release()); }

 private:
  PyRef list_;
};

// Reads page i from fds[i] at offsets[i] into a fresh page of `page_size`
// bytes, one pread at a time in input order; the first failure ends the call
// and releases the pages read so far.
Result<PyRef> read_pages_one_by_one(std::uint64_t page_size,
                                    const std::vector<std::int32_t>& fds,
                                    const std::vector<std::uint64_t>& offsets);

}  // namespace larkspur::py
