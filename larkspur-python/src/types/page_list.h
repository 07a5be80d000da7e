// PageList: the list of pages a page reader returns, filled in place.
#pragma once

#include <Python.h>

#include <cstddef>

#include "larkspur-python/src/binding/build.h"
#include "larkspur-python/src/binding/py_ref.h"

namespace larkspur::py {

// A new list of n slots. Each page arrives as a bytes object of the full
// page size of which the first `length` bytes were read; a short page is
// replaced by a copy of its first `length` bytes (the limited API cannot
// shrink a bytes object in place).
class PageList {
 public:
  explicit PageList(std::size_t n)
      : list_(PyRef::steal(PyList_New(static_cast<Py_ssize_t>(n)))) {}

  explicit operator bool() const { return static_cast<bool>(list_); }

  // False with an exception set when the short copy cannot be made.
  bool set(std::size_t i, PyRef page, std::size_t length) {
    if (static_cast<Py_ssize_t>(length) != PyBytes_Size(page.get())) {
      PyRef copy = PyRef::steal(PyBytes_FromStringAndSize(
          PyBytes_AsString(page.get()), static_cast<Py_ssize_t>(length)));
      if (!copy) return false;
      page = std::move(copy);
    }
    PyList_SetItem(list_.get(), static_cast<Py_ssize_t>(i), page.release());
    return true;
  }

  PyRef take() { return std::move(list_); }

 private:
  PyRef list_;
};

}  // namespace larkspur::py
