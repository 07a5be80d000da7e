// Conversions from Python arguments to plain C++ values.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace larkspur::py {

// Each returns std::nullopt with a Python exception set on failure.

// An int (or subclass), or any object with __index__, as 0 .. 2^64 - 1.
std::optional<std::uint64_t> to_u64(PyObject* obj);
// Anything the interpreter takes as a C long, checked to 0 .. 2^32 - 1.
std::optional<std::uint32_t> to_u32(PyObject* obj);
// Anything the interpreter takes as a C long, checked to the int32 range.
std::optional<std::int32_t> to_i32(PyObject* obj);
// A str (or subclass) as UTF-8.
std::optional<std::string> to_text(PyObject* obj);

// Any sequence but a str, element by element in iteration order.
std::optional<std::vector<std::uint64_t>> to_u64_vector(PyObject* obj);
std::optional<std::vector<std::uint32_t>> to_u32_vector(PyObject* obj);
std::optional<std::vector<std::int32_t>> to_i32_vector(PyObject* obj);

// Replaces a pending exception of exactly TypeError by
// TypeError("argument '{name}': {message}"), keeping its __cause__.
void wrap_type_error(const char* name);

// Any object, borrowed for the call: for parameters the implementation
// inspects itself (buffers, None). An optional parameter left out arrives
// as a null `ptr`, which counts as None.
struct Obj {
  PyObject* ptr;
  bool is_none() const { return ptr == nullptr || ptr == Py_None; }
};

// The object a method is called on, for implementations that need it
// (a context manager's __enter__ returns it). A method's implementation
// takes it right after `const Value&`.
struct Self {
  PyObject* ptr;
};

// Converter<T>::convert: the conversion the entry wrappers use for a
// parameter of C++ type T.
template <class T>
struct Converter;

template <>
struct Converter<Obj> {
  static std::optional<Obj> convert(PyObject* o) { return Obj{o}; }
};
template <>
struct Converter<std::uint64_t> {
  static std::optional<std::uint64_t> convert(PyObject* o) { return to_u64(o); }
};
template <>
struct Converter<std::uint32_t> {
  static std::optional<std::uint32_t> convert(PyObject* o) { return to_u32(o); }
};
template <>
struct Converter<std::int32_t> {
  static std::optional<std::int32_t> convert(PyObject* o) { return to_i32(o); }
};
template <>
struct Converter<std::string> {
  static std::optional<std::string> convert(PyObject* o) { return to_text(o); }
};
template <>
struct Converter<std::vector<std::uint64_t>> {
  static auto convert(PyObject* o) { return to_u64_vector(o); }
};
template <>
struct Converter<std::vector<std::uint32_t>> {
  static auto convert(PyObject* o) { return to_u32_vector(o); }
};
template <>
struct Converter<std::vector<std::int32_t>> {
  static auto convert(PyObject* o) { return to_i32_vector(o); }
};

}  // namespace larkspur::py
