// Signature: the declared parameters of one callable, and argument binding.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <initializer_list>

namespace larkspur::py {

// One declared parameter: its name and how it may be passed. A parameter
// with a default may be left out; the default's text is what the text
// signature shows (the implementation receives std::nullopt).
struct Param {
  constexpr Param() = default;
  // A bare name is a required parameter, by position or keyword.
  constexpr Param(const char* n)
      : name(n) {}  // NOLINT(google-explicit-constructor)
  constexpr Param(const char* n, const char* shown, bool keyword)
      : name(n), default_text(shown), keyword_only(keyword) {}

  const char* name = nullptr;
  const char* default_text = nullptr;  // nullptr: required
  bool keyword_only = false;
};

// An optional parameter, by position or keyword, shown as `name=shown`.
constexpr Param opt(const char* name, const char* shown = "...") {
  return {name, shown, false};
}
// An optional parameter that only a keyword can pass (after `*`).
constexpr Param kw(const char* name, const char* shown = "None") {
  return {name, shown, true};
}

// Parameters of a function, method or constructor. The first `positional`
// may be given by position, all of them by keyword; the first `required`
// must be given.
struct Signature {
  static constexpr std::size_t kMaxParams = 8;

  constexpr Signature(const char* cls_name, const char* fn_name,
                      std::initializer_list<const char*> names,
                      std::size_t required_count)
      : cls(cls_name),
        name(fn_name),
        count(names.size()),
        positional(names.size()),
        required(required_count) {
    std::size_t i = 0;
    for (const char* n : names) params[i++] = n;
  }

  // From declared parameters: required ones first, then optional ones,
  // keyword-only ones last.
  constexpr Signature(const char* cls_name, const char* fn_name,
                      const Param* first, std::size_t n)
      : cls(cls_name), name(fn_name), count(n), positional(0), required(0) {
    for (std::size_t i = 0; i < n; ++i) {
      params[i] = first[i].name;
      if (first[i].default_text == nullptr) required = i + 1;
      if (!first[i].keyword_only) positional = i + 1;
    }
  }

  const char* cls;  // nullptr for a module function
  const char* name;
  std::array<const char*, kMaxParams> params{};
  std::size_t count;
  std::size_t positional;
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
