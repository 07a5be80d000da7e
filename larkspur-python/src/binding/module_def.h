// ModuleDef: what an extension module registers, and the body of its
// PyInit function.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>
#include <span>

#include "larkspur-python/src/binding/tables.h"

namespace larkspur::py {

// One extension module: its name, its classes and functions in the order
// of its __all__ (registration order is part of the interface), and the
// state its initialisation keeps. Lives for the whole process.
struct ModuleDef {
  const char* name;
  std::span<const ClassRef> classes;
  std::span<const FunctionRef> functions;

  PyModuleDef def{PyModuleDef_HEAD_INIT,
                  name,
                  "",
                  0,
                  nullptr,
                  nullptr,
                  nullptr,
                  nullptr,
                  nullptr};
  std::atomic<std::int64_t> owner_interpreter{-1};
  PyObject* module = nullptr;  // written under the interpreter lock
};

// The module of `def`, made on the first import of the process and handed
// out again on later ones (a reference is kept for good); an ImportError
// in any other interpreter than the first, since its types are
// process-wide. Each class and function is added to __all__ and set as an
// attribute; InternalFault is reachable as an attribute but not public.
PyObject* init_module(ModuleDef& def);

}  // namespace larkspur::py
