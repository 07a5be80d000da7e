// Argument conversions with CPython's own failure texts.
#include "larkspur-python/src/binding/convert.h"

#include <cstring>
#include <type_traits>

#include "larkspur-core/src/base/texts.h"
#include "larkspur-python/src/binding/py_ref.h"

namespace larkspur::py {

namespace {

constexpr const char* kOutOfRange =
    "out of range integral type conversion attempted";

// Raises TypeError "'{qualname}' object cannot be converted to '{target}'".
void raise_cannot_convert(PyObject* obj, const char* target) {
  PyRef qualname = PyRef::steal(PyType_GetQualName(Py_TYPE(obj)));
  if (!qualname) return;
  PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'",
               qualname.get(), target);
}

std::optional<long> to_long(PyObject* obj) {
  const long v = PyLong_AsLong(obj);
  if (v == -1 && PyErr_Occurred() != nullptr) return std::nullopt;
  return v;
}

// Element conversions. Exact ints run no Python code; anything else may, so
// the caller keeps the element alive across the call.
struct U64 {
  using type = std::uint64_t;
  static std::optional<type> convert(PyObject* o) { return to_u64(o); }
};
struct U32 {
  using type = std::uint32_t;
  static std::optional<type> convert(PyObject* o) { return to_u32(o); }
};
struct I32 {
  using type = std::int32_t;
  static std::optional<type> convert(PyObject* o) { return to_i32(o); }
};

template <class Elem>
bool append_converted(PyObject* item, std::vector<typename Elem::type>& out) {
  std::optional<typename Elem::type> v = Elem::convert(item);
  if (!v) return false;
  out.push_back(*v);
  return true;
}

// Whether `type` is exactly the class `qualname` of module `module`.
bool is_class(PyTypeObject* type, const char* module, const char* qualname) {
  PyRef name = PyRef::steal(PyType_GetQualName(type));
  PyRef mod = PyRef::steal(
      PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__"));
  if (!name || !mod) {
    PyErr_Clear();
    return false;
  }
  return PyUnicode_CompareWithASCIIString(name.get(), qualname) == 0 &&
         PyUnicode_CompareWithASCIIString(mod.get(), module) == 0;
}

// Types whose iteration yields exactly the integers of their buffer:
// bytes, bytearray, memoryview, array.array and numpy.ndarray, not their
// subclasses (which may iterate differently). Found types are remembered.
bool iterates_as_buffer(PyObject* obj) {
  if (PyBytes_CheckExact(obj) || PyByteArray_CheckExact(obj) ||
      PyMemoryView_Check(obj)) {
    return true;
  }
  static PyTypeObject* ndarray = nullptr;  // written under the interpreter lock
  static PyTypeObject* array = nullptr;
  PyTypeObject* type = Py_TYPE(obj);
  if (type == ndarray || type == array) return true;
  if (PyObject_CheckBuffer(obj) == 0) return false;
  if (ndarray == nullptr && is_class(type, "numpy", "ndarray")) {
    ndarray = type;
    Py_INCREF(reinterpret_cast<PyObject*>(type));  // kept for good
    return true;
  }
  if (array == nullptr && is_class(type, "array", "array")) {
    array = type;
    Py_INCREF(reinterpret_cast<PyObject*>(type));
    return true;
  }
  return false;
}

// Reads element i of a one-dimensional integer buffer.
template <class T>
T load(const Py_buffer& view, Py_ssize_t i) {
  T v;
  std::memcpy(&v, static_cast<const char*>(view.buf) + i * view.strides[0],
              sizeof v);
  return v;
}

// The fast path for a one-dimensional buffer of native-order integers:
// the same values, and for a negative element the same OverflowError, as
// converting the elements one by one. nullopt without an exception set
// when the buffer is not of that kind and the generic path must run.
std::optional<std::vector<std::uint64_t>> u64_from_buffer(PyObject* obj,
                                                          bool& failed) {
  Py_buffer view;
  if (PyObject_GetBuffer(obj, &view, PyBUF_RECORDS_RO) != 0) {
    PyErr_Clear();
    return std::nullopt;
  }
  struct Release {
    Py_buffer* v;
    ~Release() { PyBuffer_Release(v); }
  } release{&view};
  const char* format = view.format != nullptr ? view.format : "B";
  if (*format == '@' || *format == '=' || *format == '<') ++format;
  if (view.ndim != 1 || format[0] == '\0' || format[1] != '\0') {
    return std::nullopt;
  }
  const bool is_signed = std::strchr("bhilqn", format[0]) != nullptr;
  const bool is_unsigned = std::strchr("BHILQN", format[0]) != nullptr;
  const Py_ssize_t size = view.itemsize;
  if (!(is_signed || is_unsigned) ||
      !(size == 1 || size == 2 || size == 4 || size == 8)) {
    return std::nullopt;
  }
  const Py_ssize_t n = view.shape[0];
  std::vector<std::uint64_t> out(static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    std::int64_t v = 0;
    if (is_signed) {
      v = size == 1   ? load<std::int8_t>(view, i)
          : size == 2 ? load<std::int16_t>(view, i)
          : size == 4 ? load<std::int32_t>(view, i)
                      : load<std::int64_t>(view, i);
      if (v < 0) {
        PyErr_SetString(PyExc_OverflowError,
                        "can't convert negative int to unsigned");
        failed = true;
        return std::nullopt;
      }
      out[static_cast<std::size_t>(i)] = static_cast<std::uint64_t>(v);
    } else {
      out[static_cast<std::size_t>(i)] =
          size == 1   ? load<std::uint8_t>(view, i)
          : size == 2 ? load<std::uint16_t>(view, i)
          : size == 4 ? load<std::uint32_t>(view, i)
                      : load<std::uint64_t>(view, i);
    }
  }
  return out;
}

template <class Elem>
std::optional<std::vector<typename Elem::type>> to_vector(PyObject* obj) {
  if (PyUnicode_Check(obj)) {
    PyErr_SetString(PyExc_TypeError, texts::kStrIsNotASequence.data());
    return std::nullopt;
  }
  if (PySequence_Check(obj) == 0) {
    raise_cannot_convert(obj, "Sequence");
    return std::nullopt;
  }
  std::vector<typename Elem::type> out;
  // Lists and tuples are walked by index, which is what their iterators do:
  // the length is re-read each step, so a list shrunk by an element's
  // __index__ ends the walk exactly where iteration would.
  if (PyList_CheckExact(obj)) {
    out.reserve(static_cast<std::size_t>(PyList_Size(obj)));
    for (Py_ssize_t i = 0; i < PyList_Size(obj); ++i) {
      PyRef item = PyRef::borrow(PyList_GetItem(obj, i));
      if (!append_converted<Elem>(item.get(), out)) return std::nullopt;
    }
    return out;
  }
  if (PyTuple_CheckExact(obj)) {
    const Py_ssize_t n = PyTuple_Size(obj);
    out.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
      if (!append_converted<Elem>(PyTuple_GetItem(obj, i), out)) {
        return std::nullopt;
      }
    }
    return out;
  }
  if constexpr (std::is_same_v<Elem, U64>) {
    if (iterates_as_buffer(obj)) {
      bool failed = false;
      auto fast = u64_from_buffer(obj, failed);
      if (fast || failed) return fast;
    }
  }
  // The reported length only sizes the reservation; a failure is dropped.
  // A length that no vector can hold fails the way a reservation that
  // cannot be had does (reserve() would throw length_error, not bad_alloc):
  // MemoryError, before any element is converted.
  const Py_ssize_t hint = PySequence_Size(obj);
  if (hint < 0) {
    PyErr_Clear();
  } else if (static_cast<std::size_t>(hint) > out.max_size()) {
    PyErr_NoMemory();
    return std::nullopt;
  } else {
    out.reserve(static_cast<std::size_t>(hint));
  }
  PyRef iter = PyRef::steal(PyObject_GetIter(obj));
  if (!iter) return std::nullopt;
  while (true) {
    PyRef item = PyRef::steal(PyIter_Next(iter.get()));
    if (!item) {
      if (PyErr_Occurred() != nullptr) return std::nullopt;
      return out;
    }
    if (!append_converted<Elem>(item.get(), out)) return std::nullopt;
  }
}

}  // namespace

std::optional<std::uint64_t> to_u64(PyObject* obj) {
  if (PyLong_Check(obj)) {
    const unsigned long long v = PyLong_AsUnsignedLongLong(obj);
    if (v == static_cast<unsigned long long>(-1) &&
        PyErr_Occurred() != nullptr) {
      return std::nullopt;
    }
    return static_cast<std::uint64_t>(v);
  }
  PyRef index = PyRef::steal(PyNumber_Index(obj));
  if (!index) return std::nullopt;
  return to_u64(index.get());
}

std::optional<std::uint32_t> to_u32(PyObject* obj) {
  const std::optional<long> v = to_long(obj);
  if (!v) return std::nullopt;
  if (*v < 0 || *v > 0xFFFFFFFFL) {
    PyErr_SetString(PyExc_OverflowError, kOutOfRange);
    return std::nullopt;
  }
  return static_cast<std::uint32_t>(*v);
}

std::optional<std::int32_t> to_i32(PyObject* obj) {
  const std::optional<long> v = to_long(obj);
  if (!v) return std::nullopt;
  if (*v < INT32_MIN || *v > INT32_MAX) {
    PyErr_SetString(PyExc_OverflowError, kOutOfRange);
    return std::nullopt;
  }
  return static_cast<std::int32_t>(*v);
}

std::optional<std::string> to_text(PyObject* obj) {
  if (!PyUnicode_Check(obj)) {
    raise_cannot_convert(obj, "PyString");
    return std::nullopt;
  }
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &size);
  if (utf8 == nullptr) return std::nullopt;
  return std::string(utf8, static_cast<std::size_t>(size));
}

std::optional<std::vector<std::uint64_t>> to_u64_vector(PyObject* obj) {
  return to_vector<U64>(obj);
}
std::optional<std::vector<std::uint32_t>> to_u32_vector(PyObject* obj) {
  return to_vector<U32>(obj);
}
std::optional<std::vector<std::int32_t>> to_i32_vector(PyObject* obj) {
  return to_vector<I32>(obj);
}

void wrap_type_error(const char* name) {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (type != PyExc_TypeError) {
    PyErr_Restore(type, value, traceback);
    return;
  }
  PyErr_NormalizeException(&type, &value, &traceback);
  PyRef old_type = PyRef::steal(type);
  PyRef old_value = PyRef::steal(value);
  PyRef old_traceback = PyRef::steal(traceback);
  PyRef cause = PyRef::steal(PyException_GetCause(old_value.get()));
  PyErr_Format(PyExc_TypeError, "argument '%s': %S", name, old_value.get());
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  if (value != nullptr) PyException_SetCause(value, cause.release());
  PyErr_Restore(type, value, traceback);
}

}  // namespace larkspur::py
