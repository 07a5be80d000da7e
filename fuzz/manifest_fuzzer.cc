// Manifest parsing on arbitrary text, checked against the manifest rules:
// a setting differs from its default only when the text holds it as a plain
// unsigned literal; a NUL byte, trailing text or a top level that is not an
// object gives both defaults; a value in a known position is usable exactly
// when it is a plain literal that fits 64 bits, the last of a repeated key
// counting; any JSON number, however far beyond double range, leaves the
// document valid.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

#include "larkspur-io/src/view/manifest.h"

namespace {

using larkspur::io::parse_manifest;
using larkspur::io::ViewManifest;

constexpr ViewManifest kDefaults{};

void check(bool ok) {
  if (!ok) std::abort();
}

bool digit(char c) { return c >= '0' && c <= '9'; }
bool json_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

std::string_view trim_json_space(std::string_view s) {
  while (!s.empty() && json_space(s.front())) s.remove_prefix(1);
  while (!s.empty() && json_space(s.back())) s.remove_suffix(1);
  return s;
}

// Whether `text` holds the decimal digits of `v` as a whole number that is
// not signed, fractional or exponential.
bool holds_plain_literal(std::string_view text, std::uint64_t v) {
  const std::string digits = std::to_string(v);
  for (std::size_t at = text.find(digits); at != std::string_view::npos;
       at = text.find(digits, at + 1)) {
    const std::size_t end = at + digits.size();
    const char before = at == 0 ? ' ' : text[at - 1];
    const char after = end < text.size() ? text[end] : ' ';
    if (digit(before) || before == '-' || before == '.') continue;
    if (digit(after) || after == '.' || after == 'e' || after == 'E') continue;
    return true;
  }
  return false;
}

// The settings may only come from plain literals of the text.
void check_values_are_literals(std::string_view text, const ViewManifest& m) {
  if (m.slot_bytes != kDefaults.slot_bytes) {
    check(holds_plain_literal(text, m.slot_bytes));
  }
  if (m.grans != kDefaults.grans) check(holds_plain_literal(text, m.grans));
}

// The value of `text` when it is one plain unsigned literal (JSON blanks
// around it allowed) that fits 64 bits; nullopt otherwise.
std::optional<std::uint64_t> usable_literal(std::string_view text) {
  text = trim_json_space(text);
  if (text.empty() || (text.size() > 1 && text.front() == '0')) {
    return std::nullopt;
  }
  unsigned __int128 value = 0;
  for (char c : text) {
    if (!digit(c)) return std::nullopt;
    value = value * 10 + static_cast<unsigned>(c - '0');
    if (value > UINT64_MAX) return std::nullopt;
  }
  return static_cast<std::uint64_t>(value);
}

// Whether `text` is exactly one JSON number: -? (0 | [1-9][0-9]*)
// (. [0-9]+)? ([eE] [+-]? [0-9]+)?
bool is_json_number(std::string_view text) {
  std::size_t i = 0;
  const auto digits = [&] {
    const std::size_t from = i;
    while (i < text.size() && digit(text[i])) ++i;
    return i - from;
  };
  if (i < text.size() && text[i] == '-') ++i;
  if (i < text.size() && text[i] == '0') {
    ++i;
  } else if (i >= text.size() || text[i] < '1' || text[i] > '9' ||
             digits() == 0) {
    return false;
  }
  if (i < text.size() && text[i] == '.') {
    ++i;
    if (digits() == 0) return false;
  }
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    if (digits() == 0) return false;
  }
  return i == text.size();
}

std::string cat(std::string_view a, std::string_view b, std::string_view c) {
  std::string out;
  out.append(a).append(b).append(c);
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const ViewManifest m = parse_manifest(text);
  check_values_are_literals(text, m);
  if (text.find('\0') != std::string_view::npos) {
    check(m == kDefaults);
    return 0;
  }
  // A NUL ends nothing: what follows it never rescues the document.
  check(parse_manifest(cat(text, std::string_view("\0", 1), text)) ==
        kDefaults);
  // No valid document continues with a letter, and an array is no object.
  check(parse_manifest(cat("", text, "x")) == kDefaults);
  check(parse_manifest(cat("[", text, "]")) == kDefaults);
  check(parse_manifest(cat("", text, " \t\r\n")) == m);

  // The text as the value of each key.
  const ViewManifest as_slot =
      parse_manifest(cat("{\"slot_bytes\":", text, "}"));
  const ViewManifest as_grans =
      parse_manifest(cat("{\"grans\":3,\"grans\":", text, "}"));
  check_values_are_literals(text, as_slot);
  if (is_json_number(trim_json_space(text))) {
    // A number is a valid value wherever it stands, even one no double
    // can hold; beside a usable setting it changes nothing.
    check(parse_manifest(cat("{\"slot_bytes\":5,\"x\":", text, "}")) ==
          ViewManifest{5, 0});
  }
  if (nlohmann::json::accept(text)) {
    // One value: usable exactly when it is a plain literal that fits.
    const std::optional<std::uint64_t> v = usable_literal(text);
    check(as_slot.slot_bytes == v.value_or(kDefaults.slot_bytes));
    check(as_slot.grans == kDefaults.grans);
    check(as_grans.grans == v.value_or(kDefaults.grans));
    check(as_grans.slot_bytes == kDefaults.slot_bytes);
    // The parser skips a leading byte-order mark, as JSON readers may.
    std::string_view top = text;
    if (top.starts_with("\xEF\xBB\xBF")) top.remove_prefix(3);
    if (trim_json_space(top).front() != '{') check(m == kDefaults);
  }
  return 0;
}
