// str_cat: concatenates strings and integers into one std::string.
#pragma once

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
  char buf[24];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value);
  (void)ec;  // 24 bytes always hold a 64-bit integer
  out.append(buf, static_cast<std::size_t>(end - buf));
}

}  // namespace internal_str_cat

template <class... Pieces>
std::string str_cat(const Pieces&... pieces) {
  std::string out;
  (internal_str_cat::append(out, pieces), ...);
  return out;
}

}  // namespace larkspur
