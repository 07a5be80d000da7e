// What a larkspur.Lookup holds: a submitted gather and the Python objects
// it writes into and reads from until its reads have ended.
#pragma once

#include <memory>
#include <utility>

#include "larkspur-io/src/engine/table.h"
#include "larkspur-python/src/binding/gil.h"
#include "larkspur-python/src/binding/py_ref.h"
#include "larkspur-python/src/engine/arrays.h"

namespace larkspur::py {

// A submitted gather whose destruction, when its Lookup is dropped
// unfinished, waits for the reads still in flight with the interpreter lock
// released.
class PendingGather {
 public:
  explicit PendingGather(io::Table::Pending pending)
      : pending_(std::move(pending)) {}
  PendingGather(PendingGather&&) noexcept = default;
  PendingGather& operator=(PendingGather&&) = delete;
  PendingGather(const PendingGather&) = delete;
  PendingGather& operator=(const PendingGather&) = delete;
  ~PendingGather() {
    if (!pending_.done()) {
      const GilRelease released;
      pending_.wait();
    }
  }

  const io::Table::Pending& operator*() const { return pending_; }

 private:
  io::Table::Pending pending_;
};

// Destroyed in reverse order: the pending gather (which waits for its
// reads) before the buffer export it writes into, and both before the
// Table whose files it reads.
struct LookupValue {
  PyRef table;
  PyRef result;
  std::unique_ptr<HeldBuffer> held;
  PendingGather pending;
};

// A new larkspur.Lookup; nullptr with an exception set.
PyObject* new_lookup(LookupValue value);

}  // namespace larkspur::py
