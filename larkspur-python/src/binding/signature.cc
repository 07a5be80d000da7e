// Argument binding and its TypeError messages.
#include "larkspur-python/src/binding/signature.h"

#include <string>

#include "larkspur-core/src/base/str_cat.h"

namespace larkspur::py {

namespace {

std::string full_name(const Signature& sig) {
  if (sig.cls == nullptr) return str_cat(sig.name, "()");
  return str_cat(sig.cls, ".", sig.name, "()");
}

void raise(const std::string& message) {
  PyErr_SetString(PyExc_TypeError, message.c_str());
}

bool too_many_positional(const Signature& sig, Py_ssize_t nargs) {
  const char* verb = nargs == 1 ? "was" : "were";
  if (sig.required == sig.positional) {
    raise(str_cat(full_name(sig), " takes ", sig.positional,
                  " positional arguments but ", nargs, " ", verb, " given"));
  } else {
    raise(str_cat(full_name(sig), " takes from ", sig.required, " to ",
                  sig.positional, " positional arguments but ", nargs, " ",
                  verb, " given"));
  }
  return false;
}

// Puts `value` into the slot named by `key`; false with TypeError set on an
// unknown or repeated name.
bool bind_keyword(const Signature& sig, PyObject* key, PyObject* value,
                  Bound& out) {
  for (std::size_t i = 0; i < sig.count; ++i) {
    if (PyUnicode_CompareWithASCIIString(key, sig.params[i]) != 0) continue;
    if (out[i] != nullptr) {
      raise(str_cat(full_name(sig), " got multiple values for argument '",
                    sig.params[i], "'"));
      return false;
    }
    out[i] = value;
    return true;
  }
  const char* text = PyUnicode_AsUTF8AndSize(key, nullptr);
  if (text == nullptr) return false;
  raise(str_cat(full_name(sig), " got an unexpected keyword argument '", text,
                "'"));
  return false;
}

bool check_required(const Signature& sig, const Bound& out) {
  std::size_t missing = 0;
  for (std::size_t i = 0; i < sig.required; ++i) {
    if (out[i] == nullptr) ++missing;
  }
  if (missing == 0) return true;
  std::string names;
  std::size_t seen = 0;
  for (std::size_t i = 0; i < sig.required; ++i) {
    if (out[i] != nullptr) continue;
    ++seen;
    if (seen > 1) {
      if (missing > 2) names += ",";
      names += seen == missing ? " and " : " ";
    }
    names += str_cat("'", sig.params[i], "'");
  }
  raise(str_cat(full_name(sig), " missing ", missing, " required positional ",
                missing == 1 ? "argument" : "arguments", ": ", names));
  return false;
}

}  // namespace

bool bind_fast(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
               PyObject* kwnames, Bound& out) {
  out.fill(nullptr);
  if (static_cast<std::size_t>(nargs) > sig.positional) {
    return too_many_positional(sig, nargs);
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) {
    out[static_cast<std::size_t>(i)] = args[i];
  }
  if (kwnames != nullptr) {
    const Py_ssize_t nkw = PyTuple_Size(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      if (!bind_keyword(sig, PyTuple_GetItem(kwnames, k), args[nargs + k],
                        out)) {
        return false;
      }
    }
  }
  return check_required(sig, out);
}

bool bind_tuple(const Signature& sig, PyObject* args, PyObject* kwargs,
                Bound& out) {
  out.fill(nullptr);
  const Py_ssize_t nargs = PyTuple_Size(args);
  if (static_cast<std::size_t>(nargs) > sig.positional) {
    return too_many_positional(sig, nargs);
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) {
    out[static_cast<std::size_t>(i)] = PyTuple_GetItem(args, i);
  }
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &pos, &key, &value) != 0) {
      if (!bind_keyword(sig, key, value, out)) return false;
    }
  }
  return check_required(sig, out);
}

}  // namespace larkspur::py
