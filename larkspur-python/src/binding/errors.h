// Mapping of error values to Python exceptions, and the InternalFault type.
#pragma once

#include <Python.h>

#include <string_view>

#include "larkspur-core/src/base/error.h"

namespace larkspur::py {

// The exception type for broken invariants (derives from BaseException),
// created on first use; nullptr with an exception set if it cannot be.
PyObject* internal_fault_type();

// Raises InternalFault(message).
void raise_internal_fault(std::string_view message);

// Raises the Python exception for `error`: OSError, ValueError,
// NotImplementedError, MemoryError or InternalFault, each from its message
// alone. For kRaised the pending exception stays as it is.
void raise_error(const Error& error);

// Reports `message` as an unraisable RuntimeError, leaving any pending
// exception untouched.
void report_unraisable_runtime_error(std::string_view message);

}  // namespace larkspur::py
