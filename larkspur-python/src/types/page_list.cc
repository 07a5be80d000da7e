// PageList and fill_pages.
#include "larkspur-python/src/types/page_list.h"

#include "larkspur-python/src/binding/build.h"
#include "larkspur-python/src/binding/gil.h"

namespace larkspur::py {

PageList::PageList(std::size_t n)
    : list_(PyRef::steal(PyList_New(static_cast<Py_ssize_t>(n)))) {}

std::byte* PageList::fresh(std::size_t i, std::size_t size) {
  PyRef page = new_bytes(size);
  if (!page) return nullptr;
  std::byte* data = bytes_data(page);
  PyList_SetItem(list_.get(), static_cast<Py_ssize_t>(i), page.release());
  return data;
}

bool PageList::trim(std::size_t i, std::size_t length) {
  PyObject* page = PyList_GetItem(list_.get(), static_cast<Py_ssize_t>(i));
  if (page == nullptr) return false;
  if (static_cast<Py_ssize_t>(length) == PyBytes_Size(page)) return true;
  PyObject* copy = PyBytes_FromStringAndSize(PyBytes_AsString(page),
                                             static_cast<Py_ssize_t>(length));
  if (copy == nullptr) return false;
  PyList_SetItem(list_.get(), static_cast<Py_ssize_t>(i), copy);
  return true;
}

Result<PyRef> fill_pages(std::uint64_t page_size,
                         const std::vector<std::int32_t>& fds,
                         const std::vector<std::uint64_t>& offsets,
                         PageReads reads) {
  // Every page is allocated first, as the bytes object that is returned,
  // so that one release of the lock covers all the reads: the reads write
  // straight into the pages.
  PageList pages(fds.size());
  if (!pages) return Error::raised();
  std::vector<std::span<std::byte>> buffers(fds.size());
  std::vector<std::size_t> lengths(fds.size());
  for (std::size_t i = 0; i < fds.size(); ++i) {
    std::byte* buffer = pages.fresh(i, page_size);
    if (buffer == nullptr) return Error::raised();
    buffers[i] = {buffer, page_size};
  }
  io::PageTargets targets{buffers, lengths};
  // Pages the kernel may still write into are never released, however the
  // call ends (an exception or a raising signal handler included).
  struct PinIfPinned {
    PageList& pages;
    const io::PageTargets& targets;
    ~PinIfPinned() {
      if (targets.pinned) pages.pin();
    }
  } const pin{pages, targets};
  if (Status s = blocking([&] { return reads(fds, offsets, targets); }); !s) {
    return std::move(s).error();
  }
  for (std::size_t i = 0; i < fds.size(); ++i) {
    if (!pages.trim(i, lengths[i])) return Error::raised();
  }
  return pages.take();
}

Result<PageSize> make_page_size(std::optional<std::uint64_t> page_size) {
  const std::uint64_t size = page_size.value_or(io::kDefaultPageSize);
  if (Status s = io::check_page_size(size); !s) return std::move(s).error();
  return PageSize{size};
}

Result<PyRef> read_pages_with(const PageSize& size,
                              const std::vector<std::int32_t>& fds,
                              const std::vector<std::uint64_t>& offsets,
                              PageReads reads) {
  if (Status s = io::check_same_length(fds.size(), offsets.size()); !s) {
    return std::move(s).error();
  }
  return fill_pages(size.bytes, fds, offsets, reads);
}

}  // namespace larkspur::py
