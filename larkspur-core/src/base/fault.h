// Helpers that turn broken invariants into Error values of code kFault.
#pragma once

#include <string>
#include <string_view>

#include "larkspur-core/src/base/error.h"
#include "larkspur-core/src/base/str_cat.h"
#include "larkspur-core/src/base/texts.h"

namespace larkspur {

inline Error fault(std::string message) {
  return Error(ErrorCode::kFault, std::move(message));
}

// The equality-assertion text: "assertion `left == right` failed: {what}"
// followed by the lines "  left: {left}" and " right: {right}".
inline Error assert_eq_fault(std::string_view what, std::string_view left,
                             std::string_view right) {
  return fault(
      str_cat(texts::kAssertEq, what, "\n  left: ", left, "\n right: ", right));
}

inline Error index_fault(std::uint64_t len, std::uint64_t index) {
  return fault(
      str_cat(texts::kIndexOutOfBounds, len, " but the index is ", index));
}

inline Error capacity_overflow() {
  return fault(std::string(texts::kCapacityOverflow));
}

}  // namespace larkspur
