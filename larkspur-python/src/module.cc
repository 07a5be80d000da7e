// The module entry point: PyInit__larkspur, registration and __all__.
#include <Python.h>

#include <atomic>
#include <cstdint>
#include <initializer_list>

#include "larkspur-python/src/binding/errors.h"
#include "larkspur-python/src/binding/py_ref.h"
#include "larkspur-python/src/members.h"

namespace larkspur::py {
namespace {

PyObject* abi_version(PyObject* /*module*/, PyObject* /*unused*/) {
  return PyLong_FromLong(1);
}

PyMethodDef kAbiVersionDef = {"abi_version", abi_version, METH_NOARGS,
                              "abi_version()\n--\n\n"};

PyMethodDef* abi_version_def() { return &kAbiVersionDef; }

struct ClassEntry {
  const char* name;
  PyTypeObject* (*create)();
};

// Registration order is part of the interface: it is the order of __all__.
// Store, View, PageReader, IoUringPageReader.
constexpr std::initializer_list<ClassEntry> kClasses = {
    {"Store", &create_store_type},
    {"View", &create_view_type},
    {"PageReader", &create_page_reader_type},
    {"IoUringPageReader", &create_uring_page_reader_type},
};

using FunctionDef = PyMethodDef* (*)();
// read_keys, abi_version, rowids_for_seq, rowids_for_seq_with_history.
constexpr std::initializer_list<FunctionDef> kFunctions = {
    &read_keys_def,
    &abi_version_def,
    &rowids_for_seq_def,
    &rowids_for_seq_with_history_def,
};

PyModuleDef kModuleDef = {
    PyModuleDef_HEAD_INIT,
    "_larkspur",  // m_name
    "",           // m_doc
    0,            // m_size
    nullptr,      // m_methods
    nullptr,      // m_slots
    nullptr,      // m_traverse
    nullptr,      // m_clear
    nullptr,      // m_free
};

std::atomic<std::int64_t> owner_interpreter{-1};
PyObject* module_cell = nullptr;  // written under the interpreter lock

// Appends `name` to the module's __all__ (creating it when absent), then
// sets the attribute.
bool add_public(PyObject* module, const char* name, PyObject* object) {
  PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all = PyRef::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) {
      return false;
    }
  }
  PyRef text = PyRef::steal(PyUnicode_FromString(name));
  if (!text) return false;
  if (PyList_Append(all.get(), text.get()) < 0) {
    PyErr_Clear();
    raise_internal_fault("could not append __name__ to __all__");
    return false;
  }
  return PyObject_SetAttrString(module, name, object) == 0;
}

bool register_members(PyObject* module) {
  for (const ClassEntry& entry : kClasses) {
    PyTypeObject* type = entry.create();
    if (type == nullptr) return false;
    if (!add_public(module, entry.name, reinterpret_cast<PyObject*>(type))) {
      return false;
    }
  }
  PyRef module_name = PyRef::steal(PyUnicode_FromString("_larkspur"));
  if (!module_name) return false;
  for (FunctionDef def : kFunctions) {
    PyRef fn = PyRef::steal(PyCFunction_NewEx(def(), module, module_name.get()));
    if (!fn) return false;
    PyRef name = PyRef::steal(PyObject_GetAttrString(fn.get(), "__name__"));
    if (!name) return false;
    const char* text = PyUnicode_AsUTF8AndSize(name.get(), nullptr);
    if (text == nullptr || !add_public(module, text, fn.get())) return false;
  }
  // Reachable for `except`, but not part of __all__.
  PyObject* fault = internal_fault_type();
  return fault != nullptr &&
         PyObject_SetAttrString(module, "InternalFault", fault) == 0;
}

PyObject* init_module() {
  const std::int64_t here = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (here == -1) {
    if (PyErr_Occurred() == nullptr) {
      PyErr_SetString(PyExc_SystemError,
                      "attempted to fetch exception but none was set");
    }
    return nullptr;
  }
  std::int64_t expected = -1;
  if (!owner_interpreter.compare_exchange_strong(expected, here) &&
      expected != here) {
    PyErr_SetString(PyExc_ImportError,
                    "_larkspur does not support sub-interpreters: it was "
                    "already initialised in another interpreter of this "
                    "process");
    return nullptr;
  }
  if (module_cell != nullptr) {
    Py_INCREF(module_cell);
    return module_cell;
  }
  PyRef module = PyRef::steal(PyModule_Create2(&kModuleDef, PYTHON_ABI_VERSION));
  if (!module || !register_members(module.get())) return nullptr;
  module_cell = module.get();
  Py_INCREF(module_cell);
  return module.release();
}

}  // namespace
}  // namespace larkspur::py

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__larkspur() {
  return larkspur::py::init_module();
}
