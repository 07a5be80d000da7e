// Signature: the declared parameters of one callable, and argument binding.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <initializer_list>

namespace larkspur::py {

// Parameters of a function, method or constructor. Every parameter may be
// given by position or by keyword; the first `required` must be given.
struct Signature {
  static constexpr std::size_t kMaxParams = 5;

  constexpr Signature(const char* cls_name, const char* fn_name,
                      std::initializer_list<const char*> names,
                      std::size_t required_count)
      : cls(cls_name), name(fn_name), count(names.size()),
        required(required_count) {
    std::size_t i = 0;
    for (const char* n : names) params[i++] = n;
  }

  const char* cls;  // nullptr for a module function
  const char* name;
  std::array<const char*, kMaxParams> params{};
  std::size_t count;
  std::size_t required;
};

// Bound arguments: borrowed references in parameter order, nullptr for an
// optional parameter that was not given.
using Bound = std::array<PyObject*, Signature::kMaxParams>;

// Binds a fast call (positional array plus keyword-name tuple). Returns
// false with TypeError set when the call does not fit the signature.
bool bind_fast(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
               PyObject* kwnames, Bound& out);

// Binds a classic call (argument tuple plus keyword dict, may be nullptr).
bool bind_tuple(const Signature& sig, PyObject* args, PyObject* kwargs,
                Bound& out);

}  // namespace larkspur::py
