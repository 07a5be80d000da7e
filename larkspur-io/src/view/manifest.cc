// Locating, reading and interpreting a record file's manifest.
#include "larkspur-io/src/view/manifest.h"

#include <sys/stat.h>

#include <algorithm>
#include <charconv>
#include <nlohmann/json.hpp>

#include "larkspur-core/src/base/file.h"

namespace larkspur::io {

namespace {

constexpr std::string_view kManifestSuffix = ".manifest.json";

// Two settings need a few dozen bytes; past this the file is not read on.
constexpr std::size_t kMaxManifestBytes = std::size_t{1} << 20;

// The parser's error for a number it cannot hold as a double.
constexpr int kNumberOverflow = 406;

// Picks the two settings out of the parser's events without building a
// document. A document's destructor allocates (it flattens nested values
// onto a stack), and std::bad_alloc there would end the process.
//
// A value counts only as a plain unsigned integer literal: the parser
// reports those, and only those, as number_unsigned (a sign, even "-0", a
// fraction, an exponent or a value past 2^64 - 1 arrive otherwise). Of a
// repeated key the last occurrence counts, usable or not.
class SettingsReader {
 public:
  using Json = nlohmann::json;

  bool null() { return value(std::nullopt); }
  bool boolean(bool /*v*/) { return value(std::nullopt); }
  bool number_integer(Json::number_integer_t /*v*/) {
    return value(std::nullopt);
  }
  bool number_unsigned(Json::number_unsigned_t v) { return value(v); }
  bool number_float(Json::number_float_t /*v*/,
                    const Json::string_t& /*text*/) {
    return value(std::nullopt);
  }
  bool string(Json::string_t& /*v*/) { return value(std::nullopt); }
  bool binary(Json::binary_t& /*v*/) { return value(std::nullopt); }
  bool start_object(std::size_t /*elements*/) {
    if (depth_ == 0) top_is_object_ = true;
    return open();
  }
  bool end_object() { return close(); }
  bool start_array(std::size_t /*elements*/) { return open(); }
  bool end_array() { return close(); }
  bool key(Json::string_t& name) {
    if (depth_ == 1) {
      pending_ = name == "slot_bytes" ? &slot_bytes_
                 : name == "grans"    ? &grans_
                                      : nullptr;
    }
    return true;
  }
  bool parse_error(std::size_t /*position*/, const std::string& /*token*/,
                   const nlohmann::detail::exception& e) {
    number_overflow_ = e.id == kNumberOverflow;
    return false;
  }

  // Whether parsing stopped at a number too large for a double.
  bool number_overflow() const { return number_overflow_; }

  // The settings of a document that parsed.
  ViewManifest settings() const {
    ViewManifest out;
    if (!top_is_object_) return out;
    out.slot_bytes = slot_bytes_.value_or(kDefaultSlotBytes);
    out.grans = grans_.value_or(0);
    return out;
  }

 private:
  // A value, scalar or not; at the top level of the object it settles the
  // key just read, if that is one of ours.
  bool value(std::optional<std::uint64_t> v) {
    if (depth_ == 1 && pending_ != nullptr) *pending_ = v;
    pending_ = nullptr;
    return true;
  }
  bool open() {
    value(std::nullopt);
    ++depth_;
    return true;
  }
  bool close() {
    --depth_;
    return true;
  }

  std::size_t depth_ = 0;
  bool top_is_object_ = false;
  bool number_overflow_ = false;
  std::optional<std::uint64_t>* pending_ = nullptr;
  std::optional<std::uint64_t> slot_bytes_;
  std::optional<std::uint64_t> grans_;
};

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
  const std::size_t int_end = dot == std::string_view::npos ? mantissa.size() : dot;
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
  SettingsReader reader;
  const bool parsed =
      nlohmann::json::sax_parse(text.begin(), text.end(), &reader);
  number_overflow = reader.number_overflow();
  if (!parsed) return std::nullopt;
  return reader.settings();
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
  // The parser takes a NUL byte for the end of input and would accept
  // "123\0garbage"; no valid document holds a raw NUL.
  if (text.find('\0') != std::string_view::npos) return out;
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
