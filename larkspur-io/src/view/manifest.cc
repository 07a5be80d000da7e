// Locating, reading and interpreting a record file's manifest.
#include "larkspur-io/src/view/manifest.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <nlohmann/json.hpp>

#include "larkspur-core/src/base/unique_fd.h"

namespace larkspur::io {

namespace {

constexpr std::string_view kManifestSuffix = ".manifest.json";

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
                   const nlohmann::detail::exception& /*e*/) {
    return false;
  }

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
  std::optional<std::uint64_t>* pending_ = nullptr;
  std::optional<std::uint64_t> slot_bytes_;
  std::optional<std::uint64_t> grans_;
};

// The whole content of the file at `path`; nullopt when it cannot be read.
std::optional<std::string> read_whole(const std::string& path) {
  int raw = -1;
  do {
    raw = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  } while (raw < 0 && errno == EINTR);
  if (raw < 0) return std::nullopt;
  const UniqueFd fd(raw);
  std::string content;
  struct stat st {};
  if (::fstat(fd.get(), &st) == 0 && st.st_size > 0) {
    content.reserve(static_cast<std::size_t>(st.st_size));
  }
  char buf[4096];
  for (;;) {
    const ssize_t n = ::read(fd.get(), buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::nullopt;
    }
    if (n == 0) return content;
    content.append(buf, static_cast<std::size_t>(n));
  }
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
  SettingsReader reader;
  if (!nlohmann::json::sax_parse(text.begin(), text.end(), &reader)) return out;
  return reader.settings();
}

ViewManifest load_manifest(std::string_view path) {
  const std::optional<std::string> where = manifest_path(path);
  // A NUL inside the name would silently shorten it at the system call.
  if (!where || where->find('\0') != std::string::npos) return {};
  struct stat st {};
  if (::stat(where->c_str(), &st) != 0) return {};
  // An unreadable manifest (a directory, say) is parsed as empty text,
  // which is invalid and so gives the defaults.
  return parse_manifest(read_whole(*where).value_or(std::string()));
}

}  // namespace larkspur::io
