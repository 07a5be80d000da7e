// Key list files: UTF-8 text, one unsigned 64-bit decimal key per line.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "larkspur-core/src/base/result.h"

namespace larkspur::io {

// The keys of the regular file at `path`, in file order. Lines end in LF or
// CR LF (the last may have no end); each is trimmed of Unicode white space
// and, unless empty, holds one key: an optional '+' and decimal digits. Any
// failure (open as open_file does, read, a line that is not UTF-8, a bad
// key) is an error of kind kIo; no partial list is ever returned.
Result<std::vector<std::uint64_t>> parse_key_file(std::string_view path);

// The keys of key list text held in memory, read exactly as parse_key_file
// reads a file of the same bytes.
Result<std::vector<std::uint64_t>> parse_key_text(std::string_view text);

// One line of a key list, with its LF (or CR LF) end if it has one:
// nullopt for a blank line, else its key. Fails as parse_key_file fails
// for that line.
Result<std::optional<std::uint64_t>> parse_key_line(std::string_view line);

// One trimmed key: an optional '+' then ASCII digits, at most
// 2^64 - 1. Fails with "invalid digit found in string" or "number too large
// to fit in target type"; a non-digit at the digit where the value
// overflows is reported as an invalid digit.
Result<std::uint64_t> parse_key(std::string_view text);

// `line` without Unicode White_Space at either end; `line` must be UTF-8.
std::string_view trim_white_space(std::string_view line);

// Whether `bytes` is well-formed UTF-8 (no overlong forms, no surrogates,
// nothing above U+10FFFF).
bool is_utf8(std::string_view bytes);

}  // namespace larkspur::io
