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

PyTypeObject* TypeCell::create() {
  if (type_ != nullptr) return type_;
  std::array<PyType_Slot, 7> slots = {{
      // PyType_Slot holds a void*; CPython copies the text.
      // NOLINTNEXTLINE(cppcoreguidelines-pro-type-const-cast)
      {Py_tp_doc, const_cast<char*>(spec_.doc)},
      {Py_tp_new, reinterpret_cast<void*>(spec_.tp_new)},
      {Py_tp_dealloc, reinterpret_cast<void*>(spec_.tp_dealloc)},
      {Py_tp_methods, spec_.methods},
  }};
  // The optional slots follow; the first {0, nullptr} ends the list.
  std::size_t n = 4;
  if (spec_.getset != nullptr) slots[n++] = {Py_tp_getset, spec_.getset};
  if (spec_.am_await != nullptr) {
    slots[n++] = {Py_am_await, reinterpret_cast<void*>(spec_.am_await)};
  }
  slots[n] = {0, nullptr};
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
