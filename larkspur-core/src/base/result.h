// Result<T>: a value or an Error, spelled like std::expected.
#pragma once

#include <optional>
#include <type_traits>
#include <utility>
#include <variant>

#include "larkspur-core/src/base/error.h"

namespace larkspur {

template <class T>
class [[nodiscard]] Result {
 public:
  // Implicit on purpose, as std::expected's: `return value;` and
  // `return error;` build the result.
  Result(T value)  // NOLINT(google-explicit-constructor): std::expected's shape
      : state_(std::in_place_index<0>, std::move(value)) {}
  Result(Error error)  // NOLINT(google-explicit-constructor): as above
      : state_(std::in_place_index<1>, std::move(error)) {}

  bool has_value() const { return state_.index() == 0; }
  explicit operator bool() const { return has_value(); }

  T& value() & { return std::get<0>(state_); }
  const T& value() const& { return std::get<0>(state_); }
  T&& value() && { return std::get<0>(std::move(state_)); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T&& operator*() && { return std::move(*this).value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

  const Error& error() const& { return std::get<1>(state_); }
  Error&& error() && { return std::get<1>(std::move(state_)); }

 private:
  std::variant<T, Error> state_;
};

template <>
class [[nodiscard]] Result<void> {
 public:
  Result() = default;
  Result(Error error)  // NOLINT(google-explicit-constructor): as above
      : error_(std::move(error)) {}

  bool has_value() const { return !error_.has_value(); }
  explicit operator bool() const { return has_value(); }
  void value() const {}

  const Error& error() const& { return *error_; }
  Error&& error() && { return *std::move(error_); }

 private:
  std::optional<Error> error_;
};

using Status = Result<void>;

inline Status ok() { return {}; }

}  // namespace larkspur
