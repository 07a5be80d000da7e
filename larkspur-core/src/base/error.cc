// Rendering of error values to their user-visible text.
#include "larkspur-core/src/base/error.h"

#include <array>
#include <cstring>

#include "larkspur-core/src/base/str_cat.h"

namespace larkspur {

namespace {

// The GNU strerror_r returns a pointer; the XSI one an int. Accept both.
[[maybe_unused]] const char* pick(int /*rc*/, const char* buf) { return buf; }
[[maybe_unused]] const char* pick(const char* text, const char* /*buf*/) {
  return text;
}

}  // namespace

std::string os_error_text(int err) {
  std::array<char, 256> buf{};
  const char* text = pick(strerror_r(err, buf.data(), buf.size()), buf.data());
  return str_cat(text, " (os error ", err, ")");
}

std::string Error::text() const {
  if (!message_.empty() || errno_ == 0) return message_;
  return os_error_text(errno_);
}

Error Error::with_prefix(std::string_view prefix) const {
  return Error(code_, str_cat(prefix, text()));
}

}  // namespace larkspur
