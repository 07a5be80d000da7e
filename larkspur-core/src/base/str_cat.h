// str_cat: concatenates strings and integers into one std::string.
#pragma once

#include <array>
#include <charconv>
#include <concepts>
#include <string>
#include <string_view>

namespace larkspur {

namespace internal_str_cat {

inline void append(std::string& out, std::string_view piece) {
  out.append(piece);
}
inline void append(std::string& out, const char* piece) { out.append(piece); }
inline void append(std::string& out, char c) { out.push_back(c); }

template <std::integral T>
  requires(!std::same_as<T, char> && !std::same_as<T, bool>)
void append(std::string& out, T value) {
  std::array<char, 24> buf{};
  auto [end, ec] = std::to_chars(buf.data(), buf.data() + buf.size(), value);
  (void)ec;  // 24 bytes always hold a 64-bit integer
  out.append(buf.data(), static_cast<std::size_t>(end - buf.data()));
}

}  // namespace internal_str_cat

template <class... Pieces>
std::string str_cat(const Pieces&... pieces) {
  std::string out;
  // String literals arrive as arrays and are appended as C strings.
  // NOLINTNEXTLINE(cppcoreguidelines-pro-bounds-array-to-pointer-decay)
  (internal_str_cat::append(out, pieces), ...);
  return out;
}

}  // namespace larkspur
