// The optional JSON manifest beside a record file: where it lives and the
// two settings read from it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace larkspur::io {

inline constexpr std::uint64_t kDefaultSlotBytes = 2560;

// The settings of a record file. `grans` 0 means no record count is
// declared.
struct ViewManifest {
  std::uint64_t slot_bytes = kDefaultSlotBytes;
  std::uint64_t grans = 0;

  friend bool operator==(const ViewManifest&, const ViewManifest&) = default;
};

// The manifest's path for the record file `path`: the last component's
// extension (text after its last dot, unless that dot leads the component)
// replaced by "manifest.json", or ".manifest.json" appended when there is
// none. Trailing slashes are ignored. nullopt when the path names no file
// (empty, only slashes, or ending in "." or "..").
std::optional<std::string> manifest_path(std::string_view path);

// Reads the settings from manifest text. A value counts only when it is a
// plain unsigned integer literal that fits 64 bits; a key without such a
// value keeps its default. Text that is not one valid JSON document
// (including text holding a NUL byte), or whose top level is not an
// object, gives both defaults. Of a repeated key the last occurrence
// counts.
ViewManifest parse_manifest(std::string_view text);

// The settings for the record file `path`, from its manifest when one can
// be found and read, else the defaults. Never fails.
ViewManifest load_manifest(std::string_view path);

}  // namespace larkspur::io
