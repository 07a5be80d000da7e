// The CPython tables built from declarations: method and getter tables, the
// type of a declared class, the record of a declared function.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <utility>

#include "larkspur-python/src/binding/declare.h"
#include "larkspur-python/src/binding/entry.h"
#include "larkspur-python/src/binding/heap_type.h"

namespace larkspur::py {

namespace internal_tables {

// Members of kind K, or of K2 too.
template <const auto& C, MemberKind K, MemberKind K2 = K>
constexpr std::size_t count_of() {
  return []<std::size_t... I>(std::index_sequence<I...>) {
    return ((MemberAt<C, I>::kKind == K || MemberAt<C, I>::kKind == K2
                 ? std::size_t{1}
                 : std::size_t{0}) +
            ... + std::size_t{0});
  }(std::make_index_sequence<kMemberCount<C>>{});
}

template <const auto& C, std::size_t I>
PyMethodDef method_def() {
  const auto& m = std::get<I>(C.members);
  if constexpr (MemberAt<C, I>::kKind == MemberKind::kClassMethod) {
    return {m.name, as_cfunction(&classmethod_entry<C, I>),
            METH_CLASS | METH_FASTCALL | METH_KEYWORDS,
            kMemberDoc<C, I>.data()};
  } else if constexpr (std::get<I>(C.members).count == 0) {
    return {m.name, as_cfunction(&method_noargs_entry<C, I>), METH_NOARGS,
            kMemberDoc<C, I>.data()};
  } else {
    return {m.name, as_cfunction(&method_entry<C, I>),
            METH_FASTCALL | METH_KEYWORDS, kMemberDoc<C, I>.data()};
  }
}

template <const auto& C, std::size_t I>
PyGetSetDef getter_def() {
  const auto& m = std::get<I>(C.members);
  return {m.name, &getter_entry<C, I>, nullptr, m.doc, nullptr};
}

// The members of class C of kind K (or K2) in declaration order, each
// made into its table entry by `make`, then the all-zero sentinel.
template <const auto& C, MemberKind K, MemberKind K2, class Entry, class Make>
auto table_of(Make make) {
  std::array<Entry, count_of<C, K, K2>() + 1> table{};
  std::size_t k = 0;
  [&]<std::size_t... I>(std::index_sequence<I...>) {
    (
        [&] {
          if constexpr (MemberAt<C, I>::kKind == K ||
                        MemberAt<C, I>::kKind == K2) {
            table[k++] = make(std::integral_constant<std::size_t, I>{});
          }
        }(),
        ...);
  }(std::make_index_sequence<kMemberCount<C>>{});
  return table;
}

template <const auto& C>
PyMethodDef* method_table() {
  static auto table =
      table_of<C, MemberKind::kMethod, MemberKind::kClassMethod, PyMethodDef>(
          [](auto i) { return method_def<C, decltype(i)::value>(); });
  return table.data();
}

// nullptr for a class without getters.
template <const auto& C>
PyGetSetDef* getter_table() {
  if constexpr (count_of<C, MemberKind::kGetter>() == 0) {
    return nullptr;
  } else {
    static auto table =
        table_of<C, MemberKind::kGetter, MemberKind::kGetter, PyGetSetDef>(
            [](auto i) { return getter_def<C, decltype(i)::value>(); });
    return table.data();
  }
}

// The am_await slot of class C: its parameterless __await__ method, or
// nullptr.
template <const auto& C>
unaryfunc await_slot() {
  constexpr std::size_t kAt = method_index<C>("__await__");
  if constexpr (kAt == kMemberCount<C>) {
    return nullptr;
  } else {
    static_assert(std::get<kAt>(C.members).count == 0,
                  "__await__ takes no parameters");
    return [](PyObject* self) -> PyObject* {
      return method_noargs_entry<C, kAt>(self, nullptr);
    };
  }
}

}  // namespace internal_tables

// The type cell of class C: its type object, made once per process.
template <const auto& C>
TypeCell& type_cell() {
  static const ClassSpec kSpec{
      kSpecName<C>.data(),
      kMemberDoc<C, init_index<C>()>.data(),
      static_cast<int>(sizeof(Instance<typename ClassOf<C>::Value>)),
      &new_entry<C>,
      &dealloc_entry<C>,
      internal_tables::method_table<C>(),
      internal_tables::getter_table<C>(),
      internal_tables::await_slot<C>(),
  };
  static TypeCell cell(kSpec);
  return cell;
}

// What a module registers for one class: its public name and the making
// of its type (nullptr with the error set on failure).
struct ClassRef {
  const char* name;
  PyTypeObject* (*create)();
};

template <const auto& C>
constexpr ClassRef class_ref() {
  return {C.name, [] { return type_cell<C>().create(); }};
}

// The record of module function F, as PyCFunction_NewEx takes it.
template <const auto& F>
PyMethodDef* function_def() {
  static PyMethodDef def = [] {
    if constexpr (F.count == 0) {
      return PyMethodDef{F.name, as_cfunction(&function_noargs_entry<F>),
                         METH_NOARGS, kFunctionDoc<F>.data()};
    } else {
      return PyMethodDef{F.name, as_cfunction(&function_entry<F>),
                         METH_FASTCALL | METH_KEYWORDS, kFunctionDoc<F>.data()};
    }
  }();
  return &def;
}

using FunctionRef = PyMethodDef* (*)();

}  // namespace larkspur::py
