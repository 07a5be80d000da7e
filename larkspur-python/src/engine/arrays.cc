// Reading integer arguments, checking output buffers, making numpy arrays.
#include "larkspur-python/src/engine/arrays.h"

#include <cstring>
#include <functional>
#include <limits>
#include <string>
#include <string_view>

namespace larkspur::py {

namespace {

// The numpy name of a buffer format, for messages.
std::string_view format_name(std::string_view format) {
  if (format.empty()) return "uint8";
  // "Zd", "Zf": complex numbers, named by their parts' code last.
  if (format.find('Z') != std::string_view::npos) return "complex";
  switch (format.back()) {
    case 'd':
      return "float64";
    case 'f':
      return "float32";
    case 'e':
      return "float16";
    case '?':
      return "bool";
    case 'O':
      return "object";
    default:
      return format;
  }
}

// The integer element kind of a buffer, or signedness 0 when the format is
// not one integer in native byte order.
struct IntFormat {
  int signedness = 0;  // -1 signed, 1 unsigned, 0 not an integer
  std::size_t size = 0;
};

IntFormat int_format(const Py_buffer& view) {
  std::string_view f = view.format != nullptr ? view.format : "B";
  if (!f.empty() &&
      (f.front() == '@' || f.front() == '=' || f.front() == '<')) {
    f.remove_prefix(1);
  }
  if (f.size() != 1) return {};
  const auto size = static_cast<std::size_t>(view.itemsize);
  if (size != 1 && size != 2 && size != 4 && size != 8) return {};
  if (std::strchr("bhilqn", f[0]) != nullptr) return {-1, size};
  if (std::strchr("BHILQN", f[0]) != nullptr) return {1, size};
  return {};
}

template <class T>
T load(const char* at) {
  T v;
  std::memcpy(&v, at, sizeof v);
  return v;
}

std::int64_t load_signed(const char* at, std::size_t size) {
  switch (size) {
    case 1:
      return load<std::int8_t>(at);
    case 2:
      return load<std::int16_t>(at);
    case 4:
      return load<std::int32_t>(at);
    default:
      return load<std::int64_t>(at);
  }
}

std::uint64_t load_unsigned(const char* at, std::size_t size) {
  switch (size) {
    case 1:
      return load<std::uint8_t>(at);
    case 2:
      return load<std::uint16_t>(at);
    case 4:
      return load<std::uint32_t>(at);
    default:
      return load<std::uint64_t>(at);
  }
}

bool negative(const char* what, long long value) {
  PyErr_Format(PyExc_OverflowError, "%s must not be negative (found %lld)",
               what, value);
  return false;
}

bool too_large(const char* what, unsigned long long value, std::uint64_t max) {
  PyErr_Format(PyExc_OverflowError, "%s must be at most %llu (found %llu)",
               what, static_cast<unsigned long long>(max), value);
  return false;
}

// Element by element, in C order, whatever the strides.
bool copy_ints(const Py_buffer& view, IntFormat kind, const char* what,
               std::uint64_t max, IntArray& out) {
  std::size_t count = 1;
  for (const std::size_t d : out.shape) count *= d;
  out.storage.resize(count);
  std::vector<std::size_t> index(out.shape.size(), 0);
  for (std::size_t k = 0; k < count; ++k) {
    const char* at = static_cast<const char*>(view.buf);
    for (std::size_t d = 0; d < index.size(); ++d) {
      at += static_cast<Py_ssize_t>(index[d]) * view.strides[d];
    }
    std::uint64_t v = 0;
    if (kind.signedness < 0) {
      const std::int64_t s = load_signed(at, kind.size);
      if (s < 0) return negative(what, s);
      v = static_cast<std::uint64_t>(s);
    } else {
      v = load_unsigned(at, kind.size);
    }
    if (v > max) return too_large(what, v, max);
    out.storage[k] = v;
    for (std::size_t d = index.size(); d-- > 0;) {
      if (++index[d] < out.shape[d]) break;
      index[d] = 0;
    }
  }
  out.values = out.storage;
  return true;
}

bool ints_from_buffer(PyObject* obj, const char* what, std::uint64_t max,
                      IntArray& out) {
  if (!out.held.get(obj, PyBUF_RECORDS_RO)) return false;
  const Py_buffer& view = out.held.view();
  const IntFormat kind = int_format(view);
  if (kind.signedness == 0) {
    PyErr_Format(
        PyExc_TypeError, "%s must be integers, not %s", what,
        std::string(format_name(view.format != nullptr ? view.format : "B"))
            .c_str());
    return false;
  }
  out.shape.assign(static_cast<std::size_t>(view.ndim), 0);
  for (int d = 0; d < view.ndim; ++d) {
    out.shape[static_cast<std::size_t>(d)] =
        static_cast<std::size_t>(view.shape[d]);
  }
  const std::size_t count = static_cast<std::size_t>(view.len) / kind.size;
  // 64-bit integers laid out in C order are read where they are.
  if (kind.size == 8 && PyBuffer_IsContiguous(&view, 'C') != 0) {
    const auto* words = static_cast<const std::uint64_t*>(view.buf);
    for (std::size_t k = 0; k < count; ++k) {
      if (kind.signedness < 0 && static_cast<std::int64_t>(words[k]) < 0) {
        return negative(what, static_cast<std::int64_t>(words[k]));
      }
      if (words[k] > max) return too_large(what, words[k], max);
    }
    out.values = {words, count};
    return true;
  }
  return copy_ints(view, kind, what, max, out);
}

// One element of a sequence: an int, or an object with __index__, from 0 to
// `max`. False with the exception set.
bool int_from_item(PyObject* item, const char* what, std::uint64_t max,
                   std::uint64_t& out) {
  PyRef index;
  if (!PyLong_Check(item)) {
    index = PyRef::steal(PyNumber_Index(item));
    if (!index) {
      // A TypeError says the item is no integer; anything else (what the
      // item's __index__ raised, MemoryError) goes on as raised.
      if (PyErr_ExceptionMatches(PyExc_TypeError) == 0) return false;
      PyErr_Clear();
      PyRef type_name = PyRef::steal(PyType_GetName(Py_TYPE(item)));
      if (type_name) {
        PyErr_Format(PyExc_TypeError, "%s must be integers, not %U", what,
                     type_name.get());
      }
      return false;
    }
    item = index.get();
  }
  int overflow = 0;
  const long long small = PyLong_AsLongLongAndOverflow(item, &overflow);
  if (small == -1 && overflow == 0 && PyErr_Occurred() != nullptr) return false;
  auto v = static_cast<std::uint64_t>(small);
  if (overflow < 0 || (overflow == 0 && small < 0)) {
    return negative(
        what, overflow < 0 ? std::numeric_limits<long long>::min() : small);
  }
  if (overflow > 0) {
    v = PyLong_AsUnsignedLongLong(item);
    if (PyErr_Occurred() != nullptr) return false;
  }
  if (v > max) return too_large(what, v, max);
  out = v;
  return true;
}

bool ints_from_sequence(PyObject* obj, const char* what, std::uint64_t max,
                        IntArray& out) {
  const Py_ssize_t n = PySequence_Size(obj);
  if (n < 0) return false;
  // A length no vector can hold (a huge range, a lying __len__) is memory
  // that cannot be had, found before any element is read.
  if (static_cast<std::size_t>(n) > out.storage.max_size()) {
    PyErr_NoMemory();
    return false;
  }
  out.shape = {static_cast<std::size_t>(n)};
  out.storage.resize(static_cast<std::size_t>(n));
  const bool list = PyList_Check(obj) != 0;
  const bool tuple = PyTuple_Check(obj) != 0;
  for (Py_ssize_t i = 0; i < n; ++i) {
    // Lists and tuples lend their items; other sequences make them.
    PyRef made;
    PyObject* item = nullptr;
    if (list) {
      item = PyList_GetItem(obj, i);
    } else if (tuple) {
      item = PyTuple_GetItem(obj, i);
    } else {
      made = PyRef::steal(PySequence_GetItem(obj, i));
      item = made.get();
    }
    if (item == nullptr ||
        !int_from_item(item, what, max,
                       out.storage[static_cast<std::size_t>(i)])) {
      return false;
    }
  }
  out.values = out.storage;
  return true;
}

// numpy's module, imported on first need and kept.
PyObject* numpy() {
  // Written under the interpreter lock.
  // NOLINTNEXTLINE(cppcoreguidelines-avoid-non-const-global-variables)
  static PyObject* module = nullptr;
  if (module == nullptr) {
    module = PyImport_ImportModule("numpy");
    if (module == nullptr && PyErr_ExceptionMatches(PyExc_ImportError) != 0) {
      PyErr_SetString(PyExc_ImportError,
                      "numpy is needed to return a new array; install it, or "
                      "pass out= (any writable buffer)");
    }
  }
  return module;
}

}  // namespace

bool HeldBuffer::get(PyObject* obj, int flags) {
  release();
  if (PyObject_GetBuffer(obj, &view_, flags) != 0) return false;
  held_ = true;
  return true;
}

void HeldBuffer::release() {
  if (held_) PyBuffer_Release(&view_);
  held_ = false;
}

bool read_ints(PyObject* obj, const char* what, std::uint64_t max,
               IntArray& out) {
  if (PyObject_CheckBuffer(obj) != 0)
    return ints_from_buffer(obj, what, max, out);
  if (PyObject_HasAttrString(obj, "__dlpack__") != 0) {
    PyObject* np = numpy();
    if (np == nullptr) return false;
    out.owner = PyRef::steal(PyObject_CallMethod(np, "from_dlpack", "O", obj));
    if (!out.owner) return false;
    return ints_from_buffer(out.owner.get(), what, max, out);
  }
  if (PyUnicode_Check(obj) || PyDict_Check(obj) || PySequence_Check(obj) == 0) {
    PyRef type_name = PyRef::steal(PyType_GetName(Py_TYPE(obj)));
    if (type_name) {
      PyErr_Format(PyExc_TypeError,
                   "%s must be an integer array or a sequence of ints, not %U",
                   what, type_name.get());
    }
    return false;
  }
  return ints_from_sequence(obj, what, max, out);
}

void keep_apart(IntArray& ints, std::span<const std::byte> memory) {
  const std::span<const std::byte> mine = std::as_bytes(ints.values);
  if (mine.empty() || memory.empty()) return;
  // A total order over unrelated pointers.
  const std::less<> before;
  if (!before(mine.data(), memory.data() + memory.size()) ||
      !before(memory.data(), mine.data() + mine.size())) {
    return;
  }
  ints.storage.assign(ints.values.begin(), ints.values.end());
  ints.values = ints.storage;
}

bool writable_bytes(PyObject* obj, const char* what, std::size_t nbytes,
                    bool int64_items, HeldBuffer& held) {
  if (PyObject_CheckBuffer(obj) == 0) {
    PyRef type_name = PyRef::steal(PyType_GetName(Py_TYPE(obj)));
    if (type_name) {
      PyErr_Format(PyExc_TypeError,
                   "%s must be a writable buffer (a numpy array, bytearray, "
                   "memoryview, ...), not %U",
                   what, type_name.get());
    }
    return false;
  }
  if (!held.get(obj, PyBUF_RECORDS)) {
    // Whatever the exporter said (BufferError, mostly): the buffer cannot
    // be written.
    PyErr_Clear();
    PyErr_Format(PyExc_ValueError, "%s is read-only", what);
    return false;
  }
  const Py_buffer& view = held.view();
  if (PyBuffer_IsContiguous(&view, 'C') == 0) {
    PyErr_Format(PyExc_ValueError, "%s must be C-contiguous", what);
    return false;
  }
  if (int64_items) {
    const IntFormat kind = int_format(view);
    if (kind.signedness == 0 || kind.size != 8) {
      PyErr_Format(
          PyExc_TypeError,
          "%s must hold 64-bit integers (uint64 or int64), not %s", what,
          std::string(format_name(view.format != nullptr ? view.format : "B"))
              .c_str());
      return false;
    }
  }
  if (static_cast<std::size_t>(view.len) != nbytes) {
    PyErr_Format(PyExc_ValueError, "%s has %zd bytes, %zu are needed", what,
                 view.len, nbytes);
    return false;
  }
  return true;
}

PyRef new_array(std::span<const std::size_t> shape, const char* dtype,
                HeldBuffer& held) {
  PyObject* np = numpy();
  if (np == nullptr) return {};
  PyRef dims = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(shape.size())));
  if (!dims) return {};
  for (std::size_t d = 0; d < shape.size(); ++d) {
    PyObject* n = PyLong_FromSize_t(shape[d]);
    if (n == nullptr) return {};
    PyTuple_SetItem(dims.get(), static_cast<Py_ssize_t>(d), n);
  }
  PyRef array =
      PyRef::steal(PyObject_CallMethod(np, "empty", "Os", dims.get(), dtype));
  if (!array || !held.get(array.get(), PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS)) {
    return {};
  }
  return array;
}

}  // namespace larkspur::py
