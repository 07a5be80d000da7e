// The module _larkspur: what it registers, in the order of __all__, and
// its PyInit function.
#include <Python.h>

#include "larkspur-python/src/binding/module_def.h"
#include "larkspur-python/src/members.h"

namespace larkspur::py {
namespace {

const ClassRef kClasses[] = {
    store_class(),
    view_class(),
    page_reader_class(),
    uring_page_reader_class(),
};

const FunctionRef kFunctions[] = {
    &read_keys_def,
    &abi_version_def,
    &rowids_for_seq_def,
    &rowids_for_seq_with_history_def,
};

ModuleDef module_def{"_larkspur", kClasses, kFunctions};

}  // namespace
}  // namespace larkspur::py

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__larkspur() {
  return larkspur::py::init_module(larkspur::py::module_def);
}
