// The entry points: every Python-callable of a module is one of these
// templates instantiated with a declaration (declare.h).
//
// An entry binds the arguments, checks `self` (type, then owner thread for
// classes of Threads::kOwner), converts the arguments in parameter order,
// calls the implementation and builds its result or raises its error.
// Entries are noexcept: C++ exceptions stop here (std::bad_alloc as
// MemoryError, anything else as InternalFault).
#pragma once

#include <Python.h>

#include <algorithm>
#include <array>
#include <memory>
#include <new>
#include <optional>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>

#include "larkspur-core/src/base/fault.h"
#include "larkspur-core/src/base/result.h"
#include "larkspur-core/src/base/str_cat.h"
#include "larkspur-core/src/base/texts.h"
#include "larkspur-python/src/binding/build.h"
#include "larkspur-python/src/binding/convert.h"
#include "larkspur-python/src/binding/declare.h"
#include "larkspur-python/src/binding/errors.h"
#include "larkspur-python/src/binding/heap_type.h"
#include "larkspur-python/src/binding/signature.h"

namespace larkspur::py {

// The type cell of class C (tables.h).
template <const auto& C>
TypeCell& type_cell();

namespace internal_entry {

template <class F>
struct FnTraits;
template <class R, class... A>
struct FnTraits<R (*)(A...)> {
  using Ret = R;
  using Args = std::tuple<std::decay_t<A>...>;
};
template <class F>
struct FnTraits<const F> : FnTraits<F> {};

template <class T>
struct IsResult : std::false_type {};
template <class T>
struct IsResult<Result<T>> : std::true_type {};

template <class T>
struct IsOptional : std::false_type {};
template <class T>
struct IsOptional<std::optional<T>> : std::true_type {};

// Converts one bound argument into `out`; false with an exception set.
template <class T>
bool convert_param(PyObject* obj, const char* name, std::optional<T>& out) {
  if constexpr (std::is_same_v<T, Obj>) {
    out.emplace(Obj{obj});  // null when left out
  } else if constexpr (IsOptional<T>::value) {
    if (obj == nullptr) {
      out.emplace(std::nullopt);
      return true;
    }
    auto value = Converter<typename T::value_type>::convert(obj);
    if (!value) {
      wrap_type_error(name);
      return false;
    }
    out.emplace(std::move(*value));
  } else {
    auto value = Converter<T>::convert(obj);
    if (!value) {
      wrap_type_error(name);
      return false;
    }
    out.emplace(std::move(*value));
  }
  return true;
}

template <class T>
PyObject* build_checked(T&& value) {
  PyObject* out = build(std::forward<T>(value));
  if (out == nullptr && PyErr_Occurred() != nullptr) {
    PyErr_Print();
    raise_internal_fault("Python API call failed");
  }
  return out;
}

template <class R>
PyObject* finish(R&& result) {
  using T = std::decay_t<R>;
  if constexpr (IsResult<T>::value) {
    if (!result) {
      raise_error(result.error());
      return nullptr;
    }
    if constexpr (std::is_void_v<decltype(result.value())>) {
      Py_RETURN_NONE;
    } else {
      return build_checked(*std::forward<R>(result));
    }
  } else {
    return build_checked(std::forward<R>(result));
  }
}

// Converts the bound arguments for the parameters Args... (in order,
// stopping at the first failure) and calls `call` with them.
template <class Args, class Call, std::size_t... I>
PyObject* convert_and_call(const Signature& sig, const Bound& bound,
                           Call&& call, std::index_sequence<I...> /*seq*/) {
  std::tuple<std::optional<std::tuple_element_t<I, Args>>...> slots;
  const bool converted =
      (convert_param(bound[I], sig.params[I], std::get<I>(slots)) && ...);
  if (!converted) return nullptr;
  return call(std::move(*std::get<I>(slots))...);
}

template <class Fn>
PyObject* guarded(Fn&& fn) noexcept {
  try {
    return fn();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (...) {
    raise_internal_fault("unexpected C++ exception");
  }
  return nullptr;
}

// How many leading parameters of a method's implementation are not
// Python arguments: `const Value&`, and Self when it follows.
template <class All>
constexpr std::size_t leading_args() {
  if constexpr (std::tuple_size_v<All> >= 2) {
    if constexpr (std::is_same_v<std::tuple_element_t<1, All>, Self>) return 2;
  }
  return 1;
}

template <class All, class Seq = std::make_index_sequence<
                         std::tuple_size_v<All> - leading_args<All>()>>
struct DropFront;
template <class All, std::size_t... K>
struct DropFront<All, std::index_sequence<K...>> {
  using type =
      std::tuple<std::tuple_element_t<K + leading_args<All>(), All>...>;
};

// Calls a method's implementation with the value, Self when it takes it,
// and the converted arguments.
template <class All, class Impl, class Value, class... A>
decltype(auto) call_method(Impl impl, PyObject* self, const Value& value,
                           A&&... args) {
  if constexpr (leading_args<All>() == 2) {
    return impl(value, Self{self}, std::forward<A>(args)...);
  } else {
    return impl(value, std::forward<A>(args)...);
  }
}

// Checks `self` for a method of class C; nullptr with an exception set
// when it is the wrong type or on the wrong thread.
template <const auto& C>
Instance<typename ClassOf<C>::Value>* checked_self(PyObject* self) {
  PyTypeObject* type = type_cell<C>().get();
  if (type == nullptr) return nullptr;
  if (!PyObject_TypeCheck(self, type)) {
    PyRef qualname = PyRef::steal(PyType_GetQualName(Py_TYPE(self)));
    if (qualname) {
      PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'",
                   qualname.get(), C.name);
    }
    return nullptr;
  }
  auto* inst = instance_of<typename ClassOf<C>::Value>(self);
  if constexpr (C.threads == Threads::kOwner) {
    const std::uint64_t here = current_thread_id();
    if (here != inst->owner_thread) {
      raise_error(assert_eq_fault(
          str_cat(kTypePath<C>.data(), texts::kSentToAnotherThread),
          format_thread_id(here), format_thread_id(inst->owner_thread)));
      return nullptr;
    }
  }
  return inst;
}

}  // namespace internal_entry

// Member I of class C, a method with parameters: Impl is
// R (*)(const Value&, Args...).
template <const auto& C, std::size_t I>
PyObject* method_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) noexcept {
  static constexpr Signature kSig = signature_of<C, I>();
  constexpr auto kImpl = MemberAt<C, I>::kImpl;
  using All = typename internal_entry::FnTraits<decltype(kImpl)>::Args;
  // The Python arguments: the parameters after `const Value&` (and Self).
  using Args = typename internal_entry::DropFront<All>::type;
  static_assert(std::tuple_size_v<Args> == kSig.count,
                "the declaration and the implementation differ in parameters");
  return internal_entry::guarded([&]() -> PyObject* {
    Bound bound;
    if (!bind_fast(kSig, args, nargs, kwnames, bound)) return nullptr;
    auto* inst = internal_entry::checked_self<C>(self);
    if (inst == nullptr) return nullptr;
    return internal_entry::convert_and_call<Args>(
        kSig, bound,
        [&](auto&&... values) {
          return internal_entry::finish(internal_entry::call_method<All>(
              kImpl, self, inst->value,
              std::forward<decltype(values)>(values)...));
        },
        std::make_index_sequence<std::tuple_size_v<Args>>{});
  });
}

// Member I of class C, a method without parameters (METH_NOARGS) or a
// getter: Impl is R (*)(const Value&).
template <const auto& C, std::size_t I>
PyObject* method_noargs_entry(PyObject* self, PyObject* /*unused*/) noexcept {
  constexpr auto kImpl = MemberAt<C, I>::kImpl;
  using All = typename internal_entry::FnTraits<decltype(kImpl)>::Args;
  return internal_entry::guarded([&]() -> PyObject* {
    auto* inst = internal_entry::checked_self<C>(self);
    if (inst == nullptr) return nullptr;
    return internal_entry::finish(
        internal_entry::call_method<All>(kImpl, self, inst->value));
  });
}

template <const auto& C, std::size_t I>
PyObject* getter_entry(PyObject* self, void* /*closure*/) noexcept {
  return method_noargs_entry<C, I>(self, nullptr);
}

// tp_new of class C: its init's Impl is Result<Value> (*)(Args...). The
// value is made first and moved into the new object; if the object cannot
// be allocated the value is destroyed (closing what it owns).
template <const auto& C>
PyObject* new_entry(PyTypeObject* type, PyObject* args,
                    PyObject* kwargs) noexcept {
  constexpr std::size_t kInit = init_index<C>();
  static constexpr Signature kSig = signature_of<C, kInit>();
  constexpr auto kImpl = MemberAt<C, kInit>::kImpl;
  using Value = typename ClassOf<C>::Value;
  using Args = typename internal_entry::FnTraits<decltype(kImpl)>::Args;
  return internal_entry::guarded([&]() -> PyObject* {
    Bound bound;
    if (!bind_tuple(kSig, args, kwargs, bound)) return nullptr;
    return internal_entry::convert_and_call<Args>(
        kSig, bound,
        [&](auto&&... values) -> PyObject* {
          Result<Value> made = kImpl(std::forward<decltype(values)>(values)...);
          if (!made) {
            raise_error(made.error());
            return nullptr;
          }
          auto alloc =
              reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
          PyObject* self = alloc(type, 0);
          if (self == nullptr) return nullptr;
          auto* inst = instance_of<Value>(self);
          inst->owner_thread = current_thread_id();
          std::construct_at(&inst->value, std::move(*made));
          return self;
        },
        std::make_index_sequence<std::tuple_size_v<Args>>{});
  });
}

// A new instance of class C holding `value`, made from C++ (as a method's
// result) rather than by calling the class; nullptr with an exception set.
// The value is destroyed when the object cannot be made.
template <const auto& C>
PyObject* new_instance(typename ClassOf<C>::Value&& value) {
  using Value = typename ClassOf<C>::Value;
  PyTypeObject* type = type_cell<C>().get();
  if (type == nullptr) return nullptr;
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* self = alloc(type, 0);
  if (self == nullptr) return nullptr;
  auto* inst = instance_of<Value>(self);
  inst->owner_thread = current_thread_id();
  std::construct_at(&inst->value, std::move(value));
  return self;
}

// Member I of class C, a class method making an instance: Impl is
// Result<Value> (*)(Args...). The class is final, so `cls` is C's type.
template <const auto& C, std::size_t I>
PyObject* classmethod_entry(PyObject* /*cls*/, PyObject* const* args,
                            Py_ssize_t nargs, PyObject* kwnames) noexcept {
  static constexpr Signature kSig = signature_of<C, I>();
  constexpr auto kImpl = MemberAt<C, I>::kImpl;
  using Args = typename internal_entry::FnTraits<decltype(kImpl)>::Args;
  static_assert(std::tuple_size_v<Args> == kSig.count,
                "the declaration and the implementation differ in parameters");
  return internal_entry::guarded([&]() -> PyObject* {
    Bound bound;
    if (!bind_fast(kSig, args, nargs, kwnames, bound)) return nullptr;
    return internal_entry::convert_and_call<Args>(
        kSig, bound,
        [&](auto&&... values) -> PyObject* {
          auto made = kImpl(std::forward<decltype(values)>(values)...);
          if (!made) {
            raise_error(made.error());
            return nullptr;
          }
          return new_instance<C>(std::move(*made));
        },
        std::make_index_sequence<std::tuple_size_v<Args>>{});
  });
}

namespace internal_entry {

// "{type path} is unsendable, but is being dropped on another thread", put
// together at compile time: a deallocator must not allocate, since
// std::bad_alloc cannot leave it.
template <const auto& C>
inline constexpr const auto& kDroppedMessage =
    internal_declare::kText<[](auto& w) {
      w.put(kTypePath<C>.data());
      w.put(texts::kDroppedOnAnotherThread);
    }>;

}  // namespace internal_entry

// tp_dealloc of class C. An instance of a Threads::kOwner class released on
// a foreign thread is reported through the unraisable hook; its resources
// are released anyway.
template <const auto& C>
void dealloc_entry(PyObject* self) noexcept {
  auto* inst = instance_of<typename ClassOf<C>::Value>(self);
  if constexpr (C.threads == Threads::kOwner) {
    if (inst->owner_thread != current_thread_id()) {
      constexpr const auto& kText = internal_entry::kDroppedMessage<C>;
      report_unraisable_runtime_error({kText.data(), kText.size() - 1});
    }
  }
  std::destroy_at(&inst->value);
  PyTypeObject* type = Py_TYPE(self);
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DECREF(type);
}

// A module function with parameters: Impl is R (*)(Args...).
template <const auto& F>
PyObject* function_entry(PyObject* /*module*/, PyObject* const* args,
                         Py_ssize_t nargs, PyObject* kwnames) noexcept {
  static constexpr Signature kSig = function_signature<F>();
  constexpr auto kImpl = std::remove_cvref_t<decltype(F)>::kImpl;
  using Args = typename internal_entry::FnTraits<decltype(kImpl)>::Args;
  return internal_entry::guarded([&]() -> PyObject* {
    Bound bound;
    if (!bind_fast(kSig, args, nargs, kwnames, bound)) return nullptr;
    return internal_entry::convert_and_call<Args>(
        kSig, bound,
        [](auto&&... values) {
          return internal_entry::finish(
              kImpl(std::forward<decltype(values)>(values)...));
        },
        std::make_index_sequence<std::tuple_size_v<Args>>{});
  });
}

// A module function without parameters (METH_NOARGS): Impl is R (*)().
template <const auto& F>
PyObject* function_noargs_entry(PyObject* /*module*/,
                                PyObject* /*unused*/) noexcept {
  constexpr auto kImpl = std::remove_cvref_t<decltype(F)>::kImpl;
  return internal_entry::guarded(
      [&]() -> PyObject* { return internal_entry::finish(kImpl()); });
}

}  // namespace larkspur::py
