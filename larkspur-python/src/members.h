// The classes and functions the module registers, each defined in its own
// file under types/ or functions/.
#pragma once

#include <Python.h>

namespace larkspur::py {

// Type creation for registration: nullptr with the error set on failure.
PyTypeObject* create_store_type();
PyTypeObject* create_view_type();
PyTypeObject* create_page_reader_type();
PyTypeObject* create_uring_page_reader_type();

// Function records (name, entry point, calling convention, text signature).
PyMethodDef* read_keys_def();
PyMethodDef* rowids_for_seq_def();
PyMethodDef* rowids_for_seq_with_history_def();

}  // namespace larkspur::py
