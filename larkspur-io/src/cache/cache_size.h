// A cache's size as people write it: "4GiB", "512MB", "1.5GiB", "65536".
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace larkspur::io {

// Bytes of `text`: a decimal number (a fraction allowed with a unit), then
// optionally B, a decimal unit (kB, MB, GB, TB: powers of 1000) or a binary
// one (KiB, MiB, GiB, TiB: powers of 1024), case aside, blanks around
// allowed. None when it is not one, or exceeds 2^64 - 1 bytes. A fraction
// of a byte is dropped.
std::optional<std::uint64_t> parse_byte_size(std::string_view text);

}  // namespace larkspur::io
