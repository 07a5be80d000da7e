// Key list reading on arbitrary bytes: the file reader, the in-memory reader
// and a plain model of the key list rules must give the same keys or the
// same error.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "larkspur-core/src/base/str_cat.h"
#include "larkspur-core/src/base/unique_fd.h"
#include "larkspur-io/src/keys/key_list.h"

namespace {

using larkspur::Result;
using larkspur::UniqueFd;
using Keys = std::vector<std::uint64_t>;

// Keys, or the error text; compared whole.
struct Outcome {
  Keys keys;
  std::string error;

  bool operator==(const Outcome&) const = default;
};

Outcome outcome_of(const Result<Keys>& r) {
  if (r) return {*r, {}};
  return {{}, std::string(r.error().text())};
}

// Decodes UTF-8 into code points by the textbook rule (shortest form, no
// surrogates, at most U+10FFFF); nullopt when malformed.
std::optional<std::u32string> decode(std::string_view bytes) {
  std::u32string out;
  std::size_t i = 0;
  while (i < bytes.size()) {
    const auto b = static_cast<unsigned char>(bytes[i]);
    std::size_t len = 0;
    char32_t cp = 0;
    char32_t least = 0;
    if (b < 0x80) {
      len = 1;
      cp = b;
    } else if ((b & 0xE0U) == 0xC0U) {
      len = 2;
      cp = b & 0x1FU;
      least = 0x80;
    } else if ((b & 0xF0U) == 0xE0U) {
      len = 3;
      cp = b & 0x0FU;
      least = 0x800;
    } else if ((b & 0xF8U) == 0xF0U) {
      len = 4;
      cp = b & 0x07U;
      least = 0x10000;
    } else {
      return std::nullopt;
    }
    if (bytes.size() - i < len) return std::nullopt;
    for (std::size_t k = 1; k < len; ++k) {
      const auto c = static_cast<unsigned char>(bytes[i + k]);
      if ((c & 0xC0U) != 0x80U) return std::nullopt;
      cp = (cp << 6U) | (c & 0x3FU);
    }
    if (cp < least || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
      return std::nullopt;
    }
    out.push_back(cp);
    i += len;
  }
  return out;
}

bool white(char32_t c) {
  static constexpr std::array<char32_t, 25> kWhite = {
      0x09,   0x0A,   0x0B,   0x0C,   0x0D,   0x20,   0x85,   0xA0,   0x1680,
      0x2000, 0x2001, 0x2002, 0x2003, 0x2004, 0x2005, 0x2006, 0x2007, 0x2008,
      0x2009, 0x200A, 0x2028, 0x2029, 0x202F, 0x205F, 0x3000};
  return std::ranges::find(kWhite, c) != kWhite.end();
}

constexpr const char* kBadDigit = "invalid digit found in string";
constexpr const char* kTooBig = "number too large to fit in target type";
constexpr const char* kNotUtf8 = "stream did not contain valid UTF-8";

// A line's code points without the LF, a CR before it and white space at
// either end.
std::u32string trim_line(std::u32string s) {
  if (!s.empty() && s.back() == U'\n') {
    s.pop_back();
    if (!s.empty() && s.back() == U'\r') s.pop_back();
  }
  while (!s.empty() && white(s.back())) s.pop_back();
  std::size_t start = 0;
  while (start < s.size() && white(s[start])) ++start;
  s.erase(0, start);
  return s;
}

// A trimmed, non-empty line: an optional '+' and digits accumulated in 128
// bits. Sets `key`, or returns the error the first bad character or the
// first digit that passes 2^64 - 1 ends everything with.
const char* parse_line(std::u32string_view s, std::uint64_t& key) {
  if (s == U"+" || s == U"-") return kBadDigit;
  if (s.front() == U'+') s.remove_prefix(1);
  unsigned __int128 value = 0;
  for (char32_t c : s) {
    if (c < U'0' || c > U'9') return kBadDigit;
    value = value * 10 + (c - U'0');
    if (value > UINT64_MAX) return kTooBig;
  }
  key = static_cast<std::uint64_t>(value);
  return nullptr;
}

// The key list rules read literally: split after each LF, check UTF-8,
// trim, skip blanks, then parse each line, its first error ending
// everything.
Outcome model(std::string_view text) {
  Outcome out;
  while (!text.empty()) {
    const std::size_t lf = text.find('\n');
    const std::size_t take =
        lf == std::string_view::npos ? text.size() : lf + 1;
    std::string_view line = text.substr(0, take);
    text.remove_prefix(take);
    std::optional<std::u32string> cps = decode(line);
    if (!cps) return {{}, kNotUtf8};
    const std::u32string s = trim_line(*std::move(cps));
    if (s.empty()) continue;
    std::uint64_t key = 0;
    if (const char* error = parse_line(s, key)) return {{}, error};
    out.keys.push_back(key);
  }
  return out;
}

// The bytes as a file: an anonymous memory file reached through /proc.
Outcome read_as_file(std::string_view text) {
  const int raw = ::memfd_create("keys", MFD_CLOEXEC);
  if (raw < 0) std::abort();
  const UniqueFd fd(raw);
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd.get(), text.data() + done, text.size() - done);
    if (n <= 0) std::abort();
    done += static_cast<std::size_t>(n);
  }
  return outcome_of(larkspur::io::parse_key_file(
      larkspur::str_cat("/proc/self/fd/", fd.get())));
}

}  // namespace

// The entry point libFuzzer calls.
// NOLINTNEXTLINE(readability-identifier-naming)
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const Outcome from_text = outcome_of(larkspur::io::parse_key_text(text));
  if (from_text != model(text)) std::abort();
  if (read_as_file(text) != from_text) std::abort();
  return 0;
}
