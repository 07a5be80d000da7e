// The values of chosen keys at the top level of a JSON object, read from
// the parser's events.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace larkspur::io {

// One chosen key: absent, or present with a plain unsigned integer literal
// that fits 64 bits (`number`), or present with any other value.
struct FieldValue {
  bool present = false;
  std::optional<std::uint64_t> number;
};

inline constexpr std::size_t kMaxFields = 4;

// What reading a document found.
struct TopLevelFields {
  bool parsed = false;  // one valid JSON document, nothing after it
  bool top_is_object = false;
  bool number_overflow = false;  // stopped at a number no double holds
  std::array<FieldValue, kMaxFields> values{};  // by the index of the key
};

// Reads `text` with nlohmann/json's event parser, building no document (a
// document's destructor allocates, and std::bad_alloc there would end the
// process). Only a plain unsigned integer literal counts as a number: the
// parser reports those, and only those, as unsigned (a sign, even "-0", a
// fraction, an exponent or a value past 2^64 - 1 arrive otherwise). Of a
// repeated key the last occurrence counts. A NUL byte anywhere makes the
// text invalid (the parser would take it for the end). At most kMaxFields
// keys.
TopLevelFields read_top_level_fields(std::string_view text,
                                     std::span<const std::string_view> keys);

}  // namespace larkspur::io
