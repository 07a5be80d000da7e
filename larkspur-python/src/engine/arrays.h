// Arrays between Python and the engine: integer arguments read from any
// buffer (numpy, array, memoryview, DLPack through numpy) or sequence,
// buffers written in place, and numpy arrays made for results.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "larkspur-python/src/binding/py_ref.h"

namespace larkspur::py {

// A Py_buffer held for the duration of a call.
class HeldBuffer {
 public:
  HeldBuffer() = default;
  HeldBuffer(const HeldBuffer&) = delete;
  HeldBuffer& operator=(const HeldBuffer&) = delete;
  ~HeldBuffer() { release(); }

  // PyObject_GetBuffer; false with the exception set.
  bool get(PyObject* obj, int flags);
  void release();
  const Py_buffer& view() const { return view_; }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

// Non-negative integers of any shape, as 64-bit values in C order. Read
// in place when the source is a C-contiguous buffer of 64-bit integers,
// else copied.
struct IntArray {
  std::vector<std::size_t> shape;
  std::span<const std::uint64_t> values;

  std::vector<std::uint64_t> storage;
  PyRef owner;  // an array made from a DLPack capsule
  HeldBuffer held;
};

// Reads `obj`: a buffer of integers (any size and signedness, any strides),
// an object with __dlpack__ (through numpy.from_dlpack), or a sequence of
// ints. False with an exception set: TypeError naming `what` for anything
// else (floats, strings, nested sequences), OverflowError for a negative
// value or one above `max`.
bool read_ints(PyObject* obj, const char* what, std::uint64_t max,
               IntArray& out);

// Copies the values of `ints` into its own storage when they are read in
// place from memory that overlaps `memory`, which is about to be written.
void keep_apart(IntArray& ints, std::span<const std::byte> memory);

// The writable memory of `obj`, which must be a C-contiguous buffer of
// exactly `nbytes` bytes (any shape and format). False with an exception
// set: TypeError when it has no writable buffer, ValueError when it is not
// contiguous or of another size. With `int64_items`, the items must be
// 64-bit integers (TypeError otherwise).
bool writable_bytes(PyObject* obj, const char* what, std::size_t nbytes,
                    bool int64_items, HeldBuffer& held);

// A new numpy array of `shape` and dtype "uint8" or "uint64", with its
// buffer held in `held`; nullptr with an exception set (ImportError when
// numpy is missing says to pass `out=` instead).
PyRef new_array(std::span<const std::size_t> shape, const char* dtype,
                HeldBuffer& held);

}  // namespace larkspur::py
