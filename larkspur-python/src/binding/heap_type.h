// Heap types from PyType_Spec, instance layout and thread identities.
#pragma once

#include <Python.h>

#include <cstdint>
#include <string>

namespace larkspur::py {

// The Python object that holds a C++ value: constructed in place by the
// constructor wrapper, destroyed by the deallocator before tp_free.
template <class T>
struct Instance {
  PyObject ob_base;
  std::uint64_t owner_thread;  // current_thread_id() of the creator
  T value;
};

template <class T>
Instance<T>* instance_of(PyObject* self) {
  return reinterpret_cast<Instance<T>*>(self);
}

// A process-unique identity of the calling thread; never reused, unlike
// pthread_t values.
std::uint64_t current_thread_id();
std::string format_thread_id(std::uint64_t id);

// What one class needs to become a type object.
struct ClassSpec {
  const char* name;  // "builtins.Store"
  const char* doc;   // "Store(...)\n--\n\n{doc}"
  int basicsize;
  newfunc tp_new;
  destructor tp_dealloc;
  PyMethodDef* methods;
  PyGetSetDef* getset;  // may be nullptr
  // The am_await slot, so that `await obj` works: an __await__ in the
  // method table alone is not found there. nullptr for none.
  unaryfunc am_await;
};

// A type object created at most once per process, on first need.
class TypeCell {
 public:
  explicit TypeCell(const ClassSpec& spec) : spec_(spec) {}

  // During module registration: nullptr with the creation error set.
  PyTypeObject* create();
  // On later first use: a failure is printed to stderr and replaced by
  // InternalFault "failed to create type object for {name}".
  PyTypeObject* get();

 private:
  const ClassSpec& spec_;
  PyTypeObject* type_ = nullptr;  // written under the interpreter lock
};

// Casts a method implementation to the PyCFunction slot type.
template <class F>
PyCFunction as_cfunction(F fn) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn));
}

}  // namespace larkspur::py
