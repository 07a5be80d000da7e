// Error values to Python exceptions.
#include "larkspur-python/src/binding/errors.h"

#include <string>

namespace larkspur::py {

namespace {

// Takes a view, so that reporting costs no C++ allocation (the deallocator
// reports through here and must not throw).
void raise_text(PyObject* type, std::string_view text) {
  PyObject* message = PyUnicode_FromStringAndSize(
      text.data(), static_cast<Py_ssize_t>(text.size()));
  if (message == nullptr) return;
  PyErr_SetObject(type, message);
  Py_DECREF(message);
}

}  // namespace

PyObject* internal_fault_type() {
  // Written under the interpreter lock, so no further synchronisation.
  static PyObject* type = nullptr;
  if (type == nullptr) {
    type = PyErr_NewExceptionWithDoc(
        "_larkspur.InternalFault",
        "A broken internal invariant of _larkspur, raised instead of ending "
        "the process.",
        PyExc_BaseException, nullptr);
  }
  return type;
}

void raise_internal_fault(std::string_view message) {
  PyObject* type = internal_fault_type();
  if (type == nullptr) return;
  raise_text(type, message);
}

void raise_error(const Error& error) {
  switch (error.code()) {
    case ErrorCode::kIo:
    case ErrorCode::kOsText:
      raise_text(PyExc_OSError, error.text());
      return;
    case ErrorCode::kInvalidArgument:
      raise_text(PyExc_ValueError, error.text());
      return;
    case ErrorCode::kOutOfRange:
      raise_text(PyExc_IndexError, error.text());
      return;
    case ErrorCode::kNotImplemented:
      raise_text(PyExc_NotImplementedError, error.text());
      return;
    case ErrorCode::kNoMemory:
      PyErr_NoMemory();
      return;
    case ErrorCode::kFault:
      raise_internal_fault(error.text());
      return;
    case ErrorCode::kRaised:
      if (PyErr_Occurred() == nullptr) {
        PyErr_SetString(PyExc_SystemError,
                        "attempted to fetch exception but none was set");
      }
      return;
  }
  raise_internal_fault("unknown error code");
}

void report_unraisable_runtime_error(std::string_view message) {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  raise_text(PyExc_RuntimeError, message);
  PyErr_WriteUnraisable(nullptr);
  PyErr_Restore(type, value, traceback);
}

}  // namespace larkspur::py
