// Locating, reading and interpreting a record file's manifest.
#include "larkspur-io/src/view/manifest.h"

#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <charconv>

#include "larkspur-core/src/base/file.h"
#include "larkspur-io/src/json/top_level_fields.h"

namespace larkspur::io {

namespace {

constexpr std::string_view kManifestSuffix = ".manifest.json";

// Two settings need a few dozen bytes; past this the file is not read on.
constexpr std::size_t kMaxManifestBytes = std::size_t{1} << 20;

constexpr std::array<std::string_view, 2> kKeys = {"slot_bytes", "grans"};

// The length of the JSON number at the start of `text` (`-`? int frac?
// exp?), or 0 when it does not start with one.
std::size_t number_length(std::string_view text) {
  std::size_t i = 0;
  const auto digits = [&] {
    const std::size_t from = i;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i;
    return i > from;
  };
  if (i < text.size() && text[i] == '-') ++i;
  if (i < text.size() && text[i] == '0') {
    ++i;
  } else if (!digits()) {
    return 0;
  }
  if (i < text.size() && text[i] == '.') {
    const std::size_t dot = i++;
    if (!digits()) return dot;
  }
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    const std::size_t e = i++;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    if (!digits()) return e;
  }
  return i;
}

// Whether a JSON number's magnitude is beyond every finite double (rather
// than below the smallest one, which the parser takes as 0).
bool overflows_double(std::string_view number) {
  double value = 0;
  const char* end = number.data() + number.size();
  const auto [at, ec] = std::from_chars(number.data(), end, value);
  if (ec != std::errc::result_out_of_range) return false;
  // Out of range one way or the other: the decimal exponent of the
  // leading significant digit tells which.
  const std::size_t e = number.find_first_of("eE");
  const std::string_view mantissa = number.substr(0, e);
  long long exponent = 0;
  if (e != std::string_view::npos) {
    std::string_view text = number.substr(e + 1);
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    // Exponents too long for 64 bits are surely far out either way.
    if (std::from_chars(text.data(), text.data() + text.size(), exponent).ec !=
        std::errc()) {
      return text.front() != '-';
    }
  }
  const std::size_t dot = mantissa.find('.');
  const std::size_t first = mantissa.find_first_of("123456789");
  const std::size_t int_end =
      dot == std::string_view::npos ? mantissa.size() : dot;
  const auto lead = first < int_end
                        ? static_cast<long long>(int_end - first) - 1
                        : -static_cast<long long>(first - int_end);
  if (exponent > 0) return lead > -exponent;
  return lead > 0 && lead + exponent > 0;
}

// `text` with every number too large for a double replaced by 0.0: valid
// JSON that the parser refuses only for such a number then parses, and
// the number, being fractional, is an unusable value of its key. Strings
// are copied untouched.
std::string without_overflowing_numbers(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    const char c = text[i];
    if (c == '"') {
      std::size_t j = i + 1;
      while (j < text.size() && text[j] != '"') {
        j += text[j] == '\\' ? std::size_t{2} : std::size_t{1};
      }
      j = std::min(j + 1, text.size());
      out.append(text.substr(i, j - i));
      i = j;
      continue;
    }
    const std::size_t n = (c == '-' || (c >= '0' && c <= '9'))
                              ? number_length(text.substr(i))
                              : 0;
    if (n == 0) {
      out.push_back(c);
      ++i;
      continue;
    }
    const std::string_view number = text.substr(i, n);
    out.append(overflows_double(number) ? std::string_view("0.0") : number);
    i += n;
  }
  return out;
}

std::optional<ViewManifest> parse_settings(std::string_view text,
                                           bool& number_overflow) {
  const TopLevelFields fields = read_top_level_fields(text, kKeys);
  number_overflow = fields.number_overflow;
  if (!fields.parsed) return std::nullopt;
  ViewManifest out;
  if (!fields.top_is_object) return out;
  out.slot_bytes = fields.values[0].number.value_or(kDefaultSlotBytes);
  out.grans = fields.values[1].number.value_or(0);
  return out;
}

// The manifest's text; nullopt when it cannot be read, is not a regular
// file (a FIFO would block, /dev/zero never ends) or is too large.
std::optional<std::string> read_manifest(const std::string& path) {
  Result<std::string> text = read_file(path, kMaxManifestBytes);
  if (!text) return std::nullopt;
  return *std::move(text);
}

}  // namespace

std::optional<std::string> manifest_path(std::string_view path) {
  std::string_view trimmed = path;
  while (!trimmed.empty() && trimmed.back() == '/') trimmed.remove_suffix(1);
  const std::size_t slash = trimmed.rfind('/');
  const std::size_t name_at = slash == std::string_view::npos ? 0 : slash + 1;
  const std::string_view name = trimmed.substr(name_at);
  if (name.empty() || name == "." || name == "..") return std::nullopt;

  std::string_view stem = trimmed;
  const std::size_t dot = name.rfind('.');
  if (dot != std::string_view::npos && dot != 0) {
    stem = trimmed.substr(0, name_at + dot);
  }
  std::string out;
  out.reserve(stem.size() + kManifestSuffix.size());
  out.append(stem);
  out.append(kManifestSuffix);
  return out;
}

ViewManifest parse_manifest(std::string_view text) {
  ViewManifest out;
  bool number_overflow = false;
  if (auto settings = parse_settings(text, number_overflow)) return *settings;
  // A number beyond double range is still valid JSON: it is an unusable
  // value of its key, not a reason to drop the whole document.
  if (!number_overflow) return out;
  const std::string rewritten = without_overflowing_numbers(text);
  return parse_settings(rewritten, number_overflow).value_or(out);
}

ViewManifest load_manifest(std::string_view path) {
  const std::optional<std::string> where = manifest_path(path);
  // A NUL inside the name would silently shorten it at the system call.
  if (!where || where->find('\0') != std::string::npos) return {};
  struct stat st {};
  if (::stat(where->c_str(), &st) != 0) return {};
  // An unreadable manifest (a directory, say) is parsed as empty text,
  // which is invalid and so gives the defaults.
  return parse_manifest(read_manifest(*where).value_or(std::string()));
}

}  // namespace larkspur::io
