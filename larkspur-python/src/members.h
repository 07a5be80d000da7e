// The classes and functions of _larkspur, each declared in its own file
// under types/ or functions/, and the names its classes share.
#pragma once

#include "larkspur-python/src/binding/tables.h"

namespace larkspur::py {

// Types report "builtins" as their module; messages name "_larkspur::Store".
inline constexpr ModuleNames kLarkspurNames{"_larkspur", "builtins"};

ClassRef store_class() noexcept;
ClassRef view_class() noexcept;
ClassRef page_reader_class() noexcept;
ClassRef uring_page_reader_class() noexcept;

PyMethodDef* read_keys_def();
PyMethodDef* abi_version_def();
PyMethodDef* rowids_for_seq_def();
PyMethodDef* rowids_for_seq_with_history_def();

}  // namespace larkspur::py
