// parse_byte_size: digits, an optional fraction and a unit.
#include "larkspur-io/src/cache/cache_size.h"

#include <array>
#include <cctype>
#include <limits>
#include <utility>

namespace larkspur::io {
namespace {

// Wide enough for digits × unit.
__extension__ using Wide = unsigned __int128;

std::string_view trim(std::string_view s) {
  while (!s.empty() &&
         std::isspace(static_cast<unsigned char>(s.front())) != 0) {
    s.remove_prefix(1);
  }
  while (!s.empty() &&
         std::isspace(static_cast<unsigned char>(s.back())) != 0) {
    s.remove_suffix(1);
  }
  return s;
}

bool same_letters(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

std::optional<std::uint64_t> unit_bytes(std::string_view unit) {
  constexpr std::uint64_t kK = 1000;
  constexpr std::uint64_t kKi = 1024;
  static constexpr std::array<std::pair<std::string_view, std::uint64_t>, 10>
      kUnits = {{{"", 1},
                 {"b", 1},
                 {"kb", kK},
                 {"mb", kK * kK},
                 {"gb", kK * kK * kK},
                 {"tb", kK * kK * kK * kK},
                 {"kib", kKi},
                 {"mib", kKi * kKi},
                 {"gib", kKi * kKi * kKi},
                 {"tib", kKi * kKi * kKi * kKi}}};
  for (const auto& [name, bytes] : kUnits) {
    if (same_letters(unit, name)) return bytes;
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::uint64_t> parse_byte_size(std::string_view text) {
  text = trim(text);
  std::size_t at = 0;
  // The digits, kept as a whole number and a scale: 1.5 is 15 / 10.
  std::uint64_t digits = 0;
  std::uint64_t scale = 1;
  std::size_t count = 0;
  bool point = false;
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  for (; at < text.size(); ++at) {
    const char c = text[at];
    if (c == '.' && !point) {
      point = true;
      continue;
    }
    if (c < '0' || c > '9') break;
    // Digits past what 64 bits hold: too large, or finer than anyone
    // means.
    if (__builtin_mul_overflow(digits, 10U, &digits) ||
        __builtin_add_overflow(digits, static_cast<unsigned>(c - '0'),
                               &digits) ||
        (point && __builtin_mul_overflow(scale, 10U, &scale))) {
      return std::nullopt;
    }
    ++count;
  }
  if (count == 0) return std::nullopt;
  const std::optional<std::uint64_t> unit = unit_bytes(trim(text.substr(at)));
  if (!unit) return std::nullopt;
  // digits × unit / scale, without overflowing on the way.
  const Wide bytes = static_cast<Wide>(digits) * *unit / scale;
  if (bytes > kMax) return std::nullopt;
  return static_cast<std::uint64_t>(bytes);
}

}  // namespace larkspur::io
