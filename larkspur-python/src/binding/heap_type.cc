// Type creation and thread identities.
#include "larkspur-python/src/binding/heap_type.h"

#include <array>
#include <atomic>
#include <cstring>

#include "larkspur-core/src/base/str_cat.h"
#include "larkspur-python/src/binding/errors.h"

namespace larkspur::py {

std::uint64_t current_thread_id() {
  static std::atomic<std::uint64_t> next{1};
  thread_local const std::uint64_t kThisThread = next.fetch_add(1);
  return kThisThread;
}

std::string format_thread_id(std::uint64_t id) {
  return str_cat("ThreadId(", id, ")");
}

namespace {

// `await obj` for a class with an __await__ method: the type's slot calls
// the method. The method is added with METH_COEXIST, so that it, not a
// wrapper of this slot, is what the name finds.
PyObject* await_by_method(PyObject* self) {
  return PyObject_CallMethod(self, "__await__", nullptr);
}

bool take_await_method(PyMethodDef* methods) {
  for (PyMethodDef* m = methods; m != nullptr && m->ml_name != nullptr; ++m) {
    if (std::strcmp(m->ml_name, "__await__") == 0) {
      m->ml_flags |= METH_COEXIST;
      return true;
    }
  }
  return false;
}

}  // namespace

PyTypeObject* TypeCell::create() {
  if (type_ != nullptr) return type_;
  const bool awaitable = take_await_method(spec_.methods);
  std::array<PyType_Slot, 7> slots = {{
      // PyType_Slot holds a void*; CPython copies the text.
      // NOLINTNEXTLINE(cppcoreguidelines-pro-type-const-cast)
      {Py_tp_doc, const_cast<char*>(spec_.doc)},
      {Py_tp_new, reinterpret_cast<void*>(spec_.tp_new)},
      {Py_tp_dealloc, reinterpret_cast<void*>(spec_.tp_dealloc)},
      {Py_tp_methods, spec_.methods},
  }};
  // The optional slots, then the {0, nullptr} that ends the list.
  std::size_t used = 4;
  if (spec_.getset != nullptr) slots[used++] = {Py_tp_getset, spec_.getset};
  if (awaitable) {
    slots[used++] = {Py_am_await, reinterpret_cast<void*>(&await_by_method)};
  }
  PyType_Spec spec = {spec_.name, spec_.basicsize, 0, Py_TPFLAGS_DEFAULT,
                      slots.data()};
  type_ = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
  return type_;
}

PyTypeObject* TypeCell::get() {
  if (type_ != nullptr) return type_;
  if (create() != nullptr) return type_;
  PyErr_Print();
  const char* dot = std::strrchr(spec_.name, '.');
  raise_internal_fault(str_cat("failed to create type object for ",
                               dot != nullptr ? dot + 1 : spec_.name));
  return nullptr;
}

}  // namespace larkspur::py
