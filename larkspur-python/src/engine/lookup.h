// What a larkspur.Lookup holds: a submitted gather and the Python objects
// it writes into and reads from until its reads have ended.
#pragma once

#include <memory>
#include <optional>

#include "larkspur-io/src/engine/table.h"
#include "larkspur-python/src/binding/py_ref.h"
#include "larkspur-python/src/engine/arrays.h"

namespace larkspur::py {

// Destroyed in reverse order: the pending gather (which waits for its
// reads) before the buffer export it writes into, and both before the
// Table whose files it reads.
struct LookupValue {
  PyRef table;
  PyRef result;
  std::unique_ptr<HeldBuffer> held;
  std::optional<io::Table::Pending> pending;
};

// A new larkspur.Lookup; nullptr with an exception set.
PyObject* new_lookup(LookupValue value);

}  // namespace larkspur::py
