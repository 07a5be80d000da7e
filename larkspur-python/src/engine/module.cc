// The module larkspur._engine: what it registers, in the order of __all__,
// and its PyInit function.
#include <Python.h>

#include <array>

#include "larkspur-python/src/binding/module_def.h"
#include "larkspur-python/src/engine/members.h"

namespace larkspur::py {
namespace {

const std::array kClasses = {table_class(), lookup_class()};
const std::array kFunctions = {&rowids_def, &checkpoint_tensors_def};

// The module's process-wide state, written under the interpreter lock.
// NOLINTNEXTLINE(cppcoreguidelines-avoid-non-const-global-variables)
ModuleDef module_def{"larkspur._engine", kClasses, kFunctions};

}  // namespace
}  // namespace larkspur::py

// The name CPython looks for.
// NOLINTNEXTLINE(bugprone-reserved-identifier,readability-identifier-naming)
extern "C" __attribute__((visibility("default"))) PyObject* PyInit__engine() {
  return larkspur::py::init_module(larkspur::py::module_def);
}
