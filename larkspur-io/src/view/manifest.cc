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

// The value of `key` when it is a plain unsigned integer literal. The
// parser keeps such literals as number_unsigned; a sign (even "-0"), a
// fraction, an exponent or a value past 2^64 - 1 (which the parser turns
// into a float) makes them something else.
std::optional<std::uint64_t> usable_value(const nlohmann::json& doc,
                                          std::string_view key) {
  const auto it = doc.find(key);
  if (it == doc.end() || !it->is_number_unsigned()) return std::nullopt;
  return it->get<std::uint64_t>();
}

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
  const nlohmann::json doc = nlohmann::json::parse(
      text.begin(), text.end(), /*cb=*/nullptr, /*allow_exceptions=*/false);
  if (doc.is_discarded() || !doc.is_object()) return out;
  if (auto v = usable_value(doc, "slot_bytes")) out.slot_bytes = *v;
  if (auto v = usable_value(doc, "grans")) out.grans = *v;
  return out;
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
