// The module larkspur._engine: what it registers, in the order of __all__,
// and its PyInit function.
#include <Python.h>

#include "larkspur-python/src/binding/module_def.h"
#include "larkspur-python/src/engine/members.h"

namespace larkspur::py {
namespace {

const ClassRef kClasses[] = {table_class()};
const FunctionRef kFunctions[] = {&rowids_def};

ModuleDef module_def{"larkspur._engine", kClasses, kFunctions};

}  // namespace
}  // namespace larkspur::py

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__engine() {
  return larkspur::py::init_module(larkspur::py::module_def);
}
