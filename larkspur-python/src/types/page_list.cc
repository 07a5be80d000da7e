// PageList and the page-by-page read.
#include "larkspur-python/src/types/page_list.h"

#include "larkspur-io/src/batch/page_reader.h"
#include "larkspur-python/src/binding/build.h"

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

Result<PyRef> read_pages_one_by_one(std::uint64_t page_size,
                                    const std::vector<std::int32_t>& fds,
                                    const std::vector<std::uint64_t>& offsets) {
  PageList pages(fds.size());
  if (!pages) return Error::raised();
  for (std::size_t i = 0; i < fds.size(); ++i) {
    std::byte* buffer = pages.fresh(i, page_size);
    if (buffer == nullptr) return Error::raised();
    Result<std::size_t> n =
        io::read_page(BorrowedFd(fds[i]), {buffer, page_size}, offsets[i]);
    if (!n) return std::move(n).error();
    if (!pages.trim(i, *n)) return Error::raised();
  }
  return pages.take();
}

}  // namespace larkspur::py
