// The module _larkspur: what it registers, in the order of __all__, and
// its PyInit function.
#include <Python.h>

#include <array>

#include "larkspur-python/src/binding/module_def.h"
#include "larkspur-python/src/members.h"

namespace larkspur::py {
namespace {

const std::array kClasses = {
    store_class(),
    view_class(),
    page_reader_class(),
    uring_page_reader_class(),
};

const std::array kFunctions = {
    &read_keys_def,
    &abi_version_def,
    &rowids_for_seq_def,
    &rowids_for_seq_with_history_def,
};

// The module's process-wide state, written under the interpreter lock.
// NOLINTNEXTLINE(cppcoreguidelines-avoid-non-const-global-variables)
ModuleDef module_def{"_larkspur", kClasses, kFunctions};

}  // namespace
}  // namespace larkspur::py

// The name CPython looks for.
// NOLINTNEXTLINE(bugprone-reserved-identifier,readability-identifier-naming)
extern "C" __attribute__((visibility("default"))) PyObject* PyInit__larkspur() {
  return larkspur::py::init_module(larkspur::py::module_def);
}
