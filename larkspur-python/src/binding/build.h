// Result builders: plain C++ values to new Python objects.
#pragma once

#include <Python.h>

#include <array>
#include <cstdint>
#include <string_view>
#include <vector>

#include "larkspur-core/src/layout/shard_geometry.h"
#include "larkspur-python/src/binding/py_ref.h"

namespace larkspur::py {

// Each returns a new reference, or nullptr with an exception set.
PyObject* build(std::uint64_t value);
PyObject* build(std::uint32_t value);
PyObject* build(std::string_view text);
PyObject* build(const std::vector<std::uint64_t>& values);
PyObject* build(const std::vector<std::array<std::uint32_t, 16>>& rows);
inline PyObject* build(PyRef object) { return object.release(); }
// The exact value of a 128-bit count, however large.
PyObject* build(const WideCount& value);

// dict[key] = value, the new reference `value` given up; false with an
// exception set (also when `value` is null: its making failed).
bool put_item(PyObject* dict, const char* key, PyObject* value);

// A new bytes object of `size` bytes whose contents the caller fills in
// before it is shared; nullptr with MemoryError set when it cannot be had.
PyRef new_bytes(std::size_t size);
// The writable storage of a bytes object made by new_bytes.
std::byte* bytes_data(const PyRef& bytes);

}  // namespace larkspur::py
