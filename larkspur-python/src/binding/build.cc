// Result builders.
#include "larkspur-python/src/binding/build.h"

#include <limits>

namespace larkspur::py {

PyObject* build(std::uint64_t value) {
  return PyLong_FromUnsignedLongLong(value);
}

PyObject* build(std::uint32_t value) { return PyLong_FromUnsignedLong(value); }

PyObject* build(std::string_view text) {
  return PyUnicode_FromStringAndSize(text.data(),
                                     static_cast<Py_ssize_t>(text.size()));
}

bool put_item(PyObject* dict, const char* key, PyObject* value) {
  if (value == nullptr) return false;
  const int rc = PyDict_SetItemString(dict, key, value);
  Py_DECREF(value);
  return rc == 0;
}

PyObject* build(const WideCount& value) {
  PyRef low = PyRef::steal(PyLong_FromUnsignedLongLong(value.low));
  if (!low || value.high == 0) return low.release();
  PyRef high = PyRef::steal(PyLong_FromUnsignedLongLong(value.high));
  PyRef shift = PyRef::steal(PyLong_FromLong(64));
  if (!high || !shift) return nullptr;
  PyRef shifted = PyRef::steal(PyNumber_Lshift(high.get(), shift.get()));
  if (!shifted) return nullptr;
  return PyNumber_Or(shifted.get(), low.get());
}

PyObject* build(const std::vector<std::uint64_t>& values) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(values.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < values.size(); ++i) {
    PyObject* item = PyLong_FromUnsignedLongLong(values[i]);
    if (item == nullptr) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

PyObject* build(const std::vector<std::array<std::uint32_t, 16>>& rows) {
  PyRef outer = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(rows.size())));
  if (!outer) return nullptr;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    PyObject* inner = PyList_New(16);
    if (inner == nullptr) return nullptr;
    PyList_SetItem(outer.get(), static_cast<Py_ssize_t>(i), inner);
    for (Py_ssize_t j = 0; j < 16; ++j) {
      PyObject* item =
          PyLong_FromUnsignedLong(rows[i][static_cast<std::size_t>(j)]);
      if (item == nullptr) return nullptr;
      PyList_SetItem(inner, j, item);
    }
  }
  return outer.release();
}

PyRef new_bytes(std::size_t size) {
  // CPython refuses sizes within its object header of the Py_ssize_t limit
  // with OverflowError; no such size can be had, so all of them are
  // MemoryError, like any other size the allocator refuses.
  constexpr std::size_t kHeaderRoom = 256;
  if (size > static_cast<std::size_t>(std::numeric_limits<Py_ssize_t>::max()) -
                 kHeaderRoom) {
    PyErr_NoMemory();
    return {};
  }
  return PyRef::steal(
      PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
}

std::byte* bytes_data(const PyRef& bytes) {
  return reinterpret_cast<std::byte*>(PyBytes_AsString(bytes.get()));
}

}  // namespace larkspur::py
