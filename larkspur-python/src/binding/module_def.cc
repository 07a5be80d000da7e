// Module initialisation: the sub-interpreter guard, registration and
// __all__.
#include "larkspur-python/src/binding/module_def.h"

#include "larkspur-core/src/base/str_cat.h"
#include "larkspur-python/src/binding/errors.h"
#include "larkspur-python/src/binding/py_ref.h"

namespace larkspur::py {

namespace {

// Appends `name` to the module's __all__ (creating it when absent), then
// sets the attribute.
bool add_public(PyObject* module, const char* name, PyObject* object) {
  PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (PyErr_ExceptionMatches(PyExc_AttributeError) == 0) return false;
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

bool register_members(PyObject* module, const ModuleDef& def) {
  for (const ClassRef& entry : def.classes) {
    PyTypeObject* type = entry.create();
    if (type == nullptr) return false;
    if (!add_public(module, entry.name, reinterpret_cast<PyObject*>(type))) {
      return false;
    }
  }
  PyRef module_name = PyRef::steal(PyUnicode_FromString(def.name));
  if (!module_name) return false;
  for (FunctionRef record : def.functions) {
    PyRef fn =
        PyRef::steal(PyCFunction_NewEx(record(), module, module_name.get()));
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

}  // namespace

PyObject* init_module(ModuleDef& def) {
  const std::int64_t here = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (here == -1) {
    if (PyErr_Occurred() == nullptr) {
      PyErr_SetString(PyExc_SystemError,
                      "attempted to fetch exception but none was set");
    }
    return nullptr;
  }
  std::int64_t expected = -1;
  if (!def.owner_interpreter.compare_exchange_strong(expected, here) &&
      expected != here) {
    PyErr_SetString(
        PyExc_ImportError,
        str_cat(def.name,
                " does not support sub-interpreters: it was already "
                "initialised in another interpreter of this process")
            .c_str());
    return nullptr;
  }
  if (def.module != nullptr) {
    Py_INCREF(def.module);
    return def.module;
  }
  PyRef module = PyRef::steal(PyModule_Create2(&def.def, PYTHON_ABI_VERSION));
  if (!module || !register_members(module.get(), def)) return nullptr;
  def.module = module.get();
  Py_INCREF(def.module);
  return module.release();
}

}  // namespace larkspur::py
