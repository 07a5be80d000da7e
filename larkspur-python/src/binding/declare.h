// Declarations of Python-facing classes and functions: one compile-time
// table per class (or function) from which the argument binding, the text
// signatures and the method and getter tables are all built.
//
// A class file is its typed implementations plus one table:
//
//   constexpr auto kStore = declare_class<io::Store>(
//       kModule, "Store", "", Threads::kAny,
//       init<&make>({"dir", "shards", "rows_per_shard", "width",
//                    opt("threads")}),
//       method<&fetch>("fetch", {"rowids"}),
//       method<&close>("close", {}, "Compatibility no-op ..."),
//       getter<&width>("width"));
//
// Implementations are plain C++: R (*)(Args...) for functions and
// constructors, R (*)(const Value&, Args...) for methods and getters, where
// R is a value the result builders know or a Result of one; entry.h turns
// them into CPython entry points.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <initializer_list>
#include <string_view>
#include <tuple>
#include <type_traits>

#include "larkspur-python/src/binding/signature.h"

namespace larkspur::py {

// What the classes of one extension module share: the module's name, which
// prefixes a type in thread-binding messages ("_larkspur::View"), and the
// module its types report as __module__.
struct ModuleNames {
  std::string_view name;         // "_larkspur"
  std::string_view type_module;  // "builtins"
};

// Whether instances may be used from any thread or only from the one that
// made them.
enum class Threads { kAny, kOwner };

enum class MemberKind { kInit, kMethod, kClassMethod, kGetter, kFunction };

// One declared member: its kind, implementation, name, parameters and
// docstring (the text after the text signature).
template <MemberKind K, auto Impl>
struct Member {
  static constexpr MemberKind kKind = K;
  static constexpr auto kImpl = Impl;

  const char* name = nullptr;
  std::array<Param, Signature::kMaxParams> params{};
  std::size_t count = 0;
  const char* doc = "";
};

namespace internal_declare {

// Never defined: a declaration that reaches it while being evaluated at
// compile time does not compile, and says why.
void invalid_declaration(const char* why);

template <MemberKind K, auto Impl>
constexpr Member<K, Impl> make_member(const char* name,
                                      std::initializer_list<Param> params,
                                      const char* doc) {
  Member<K, Impl> m{name};
  m.doc = doc;
  bool optional_seen = false;
  for (const Param& p : params) {
    // Required parameters come first, keyword-only ones last; more than
    // the binder holds does not compile.
    if (m.count >= Signature::kMaxParams) {
      invalid_declaration("too many parameters");
    }
    if (p.default_text == nullptr && optional_seen) {
      invalid_declaration("a required parameter after an optional one");
    }
    optional_seen = optional_seen || p.default_text != nullptr;
    m.params[m.count++] = p;
  }
  return m;
}

}  // namespace internal_declare

// The constructor (`__new__`): Impl is Result<Value> (*)(Args...).
template <auto Impl>
constexpr auto init(std::initializer_list<Param> params) {
  return internal_declare::make_member<MemberKind::kInit, Impl>("__new__",
                                                                params, "");
}

// A method; without parameters it takes none at all (METH_NOARGS).
template <auto Impl>
constexpr auto method(const char* name, std::initializer_list<Param> params,
                      const char* doc = "") {
  return internal_declare::make_member<MemberKind::kMethod, Impl>(name, params,
                                                                  doc);
}

// A class method that makes an instance (an alternative constructor): Impl
// is Result<Value> (*)(Args...), as an init's.
template <auto Impl>
constexpr auto classmethod(const char* name,
                           std::initializer_list<Param> params,
                           const char* doc = "") {
  return internal_declare::make_member<MemberKind::kClassMethod, Impl>(
      name, params, doc);
}

// A read-only attribute.
template <auto Impl>
constexpr auto getter(const char* name, const char* doc = "") {
  return internal_declare::make_member<MemberKind::kGetter, Impl>(name, {},
                                                                  doc);
}

// A module function; without parameters it takes none at all.
template <auto Impl>
constexpr auto function(const char* name, std::initializer_list<Param> params,
                        const char* doc = "") {
  return internal_declare::make_member<MemberKind::kFunction, Impl>(
      name, params, doc);
}

// One class: the C++ value its instances hold, its names, docstring,
// thread rule and members (one init, any methods and getters).
template <class V, class... Members>
struct ClassDecl {
  using Value = V;
  using MemberTuple = std::tuple<Members...>;

  const ModuleNames* module;
  const char* name;
  const char* doc;
  Threads threads;
  MemberTuple members;
};

template <class V, class... Members>
constexpr ClassDecl<V, Members...> declare_class(const ModuleNames& module,
                                                 const char* name,
                                                 const char* doc,
                                                 Threads threads,
                                                 Members... members) {
  return {&module, name, doc, threads, {members...}};
}

template <const auto& C>
using ClassOf = std::remove_cvref_t<decltype(C)>;

template <const auto& C, std::size_t I>
using MemberAt = std::tuple_element_t<I, typename ClassOf<C>::MemberTuple>;

template <const auto& C>
inline constexpr std::size_t kMemberCount =
    std::tuple_size_v<typename ClassOf<C>::MemberTuple>;

// The binding Signature of a member (or of a function when C is a Member).
template <const auto& C, std::size_t I>
constexpr Signature signature_of() {
  const auto& m = std::get<I>(C.members);
  return Signature(C.name, m.name, m.params.data(), m.count);
}

template <const auto& F>
constexpr Signature function_signature() {
  return Signature(nullptr, F.name, F.params.data(), F.count);
}

namespace internal_declare {

// A piece-by-piece writer that only counts when `out` is null, so that one
// function both sizes and fills a compile-time string.
struct TextWriter {
  char* out = nullptr;
  std::size_t size = 0;

  constexpr void put(std::string_view text) {
    for (char c : text) {
      if (out != nullptr) out[size] = c;
      ++size;
    }
  }
};

// "name($self, a, b=4096, *, c=None)\n--\n\n{doc}": the form CPython reads
// __text_signature__ from; `self` is "$self", "$cls" or empty.
constexpr void write_text_signature(TextWriter& w, std::string_view name,
                                    std::string_view self, const Param* params,
                                    std::size_t count, std::string_view doc) {
  w.put(name);
  w.put("(");
  bool first = true;
  const auto sep = [&] {
    if (!first) w.put(", ");
    first = false;
  };
  if (!self.empty()) {
    sep();
    w.put(self);
  }
  bool star = false;
  for (std::size_t i = 0; i < count; ++i) {
    if (params[i].keyword_only && !star) {
      sep();
      w.put("*");
      star = true;
    }
    sep();
    w.put(params[i].name);
    if (params[i].default_text != nullptr) {
      w.put("=");
      w.put(params[i].default_text);
    }
  }
  w.put(")\n--\n\n");
  w.put(doc);
}

template <class Write>
constexpr std::size_t text_size(Write write) {
  TextWriter w;
  write(w);
  return w.size + 1;
}

template <std::size_t N, class Write>
constexpr std::array<char, N> text_of(Write write) {
  std::array<char, N> text{};
  TextWriter w{text.data()};
  write(w);
  return text;
}

// The text `Write` (a captureless callable taking a TextWriter&) puts
// together, as a NUL-terminated compile-time string.
template <auto Write>
inline constexpr auto kText = text_of<text_size(Write)>(Write);

template <const auto& C, std::size_t I>
constexpr void member_text(TextWriter& w) {
  const auto& m = std::get<I>(C.members);
  if constexpr (MemberAt<C, I>::kKind == MemberKind::kInit) {
    write_text_signature(w, C.name, "", m.params.data(), m.count, C.doc);
  } else if constexpr (MemberAt<C, I>::kKind == MemberKind::kClassMethod) {
    write_text_signature(w, m.name, "$cls", m.params.data(), m.count, m.doc);
  } else {
    write_text_signature(w, m.name, "$self", m.params.data(), m.count, m.doc);
  }
}

}  // namespace internal_declare

// The docstring of member I of class C (of the class itself for its init),
// text signature first, as a NUL-terminated compile-time string.
template <const auto& C, std::size_t I>
inline constexpr const auto& kMemberDoc = internal_declare::kText<[](auto& w) {
  internal_declare::member_text<C, I>(w);
}>;

template <const auto& F>
inline constexpr const auto& kFunctionDoc =
    internal_declare::kText<[](auto& w) {
      internal_declare::write_text_signature(w, F.name, "", F.params.data(),
                                             F.count, F.doc);
    }>;

// "{module}::{name}" of class C, as thread-binding messages name it.
template <const auto& C>
inline constexpr const auto& kTypePath = internal_declare::kText<[](auto& w) {
  w.put(C.module->name);
  w.put("::");
  w.put(C.name);
}>;

// "{type module}.{name}" of class C, as PyType_Spec takes it.
template <const auto& C>
inline constexpr const auto& kSpecName = internal_declare::kText<[](auto& w) {
  w.put(C.module->type_module);
  w.put(".");
  w.put(C.name);
}>;

// The index of class C's init.
template <const auto& C>
constexpr std::size_t init_index() {
  return []<std::size_t... I>(std::index_sequence<I...>) {
    std::size_t at = sizeof...(I);
    std::size_t inits = 0;
    ((MemberAt<C, I>::kKind == MemberKind::kInit ? (at = I, ++inits) : 0), ...);
    if (inits != 1) {
      internal_declare::invalid_declaration("a class declares one init");
    }
    return at;
  }(std::make_index_sequence<kMemberCount<C>>{});
}

// The index of the method of class C named `name`, or kMemberCount<C> when
// it has none: special methods whose type slot a method table cannot fill.
template <const auto& C>
constexpr std::size_t method_index(std::string_view name) {
  return [name]<std::size_t... I>(std::index_sequence<I...>) {
    std::size_t at = sizeof...(I);
    ((MemberAt<C, I>::kKind == MemberKind::kMethod &&
              std::string_view(std::get<I>(C.members).name) == name
          ? (at = I, 0)
          : 0),
     ...);
    return at;
  }(std::make_index_sequence<kMemberCount<C>>{});
}

}  // namespace larkspur::py
