// PageList: the list of pages a page reader returns, filled in place, and
// fill_pages, the shape of every read_pages call of both page readers.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "larkspur-core/src/base/result.h"
#include "larkspur-io/src/uring/page_reader.h"
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

// The reads that fill the pages of one call: io::read_pages_positional or
// io::read_pages_uring.
using PageReads = Status (*)(std::span<const std::int32_t>,
                             std::span<const std::uint64_t>, io::PageTargets&);

// What both page readers hold: their page size.
struct PageSize {
  std::uint64_t bytes;
};

// The constructor both page readers share: page_size (default 4096) checked
// to be a positive power of two.
Result<PageSize> make_page_size(std::optional<std::uint64_t> page_size);

// read_pages as both page readers check it: the two lists of one length,
// then fill_pages with `reads`.
Result<PyRef> read_pages_with(const PageSize& size,
                              const std::vector<std::int32_t>& fds,
                              const std::vector<std::uint64_t>& offsets,
                              PageReads reads);

// Makes one fresh page of `page_size` bytes per request with the
// interpreter lock held, runs `reads` into them once with the lock released
// (then any signal handlers that became due; one that raises fails the
// call), and cuts each page to the length read. A failed call releases its
// pages, except pages the reads pinned, which are never released.
Result<PyRef> fill_pages(std::uint64_t page_size,
                         const std::vector<std::int32_t>& fds,
                         const std::vector<std::uint64_t>& offsets,
                         PageReads reads);

}  // namespace larkspur::py
