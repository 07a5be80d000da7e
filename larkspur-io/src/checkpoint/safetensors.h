// The header of a safetensors file: an 8-byte little-endian length, then
// that many bytes of JSON naming each tensor's dtype, shape and the byte
// range of its data (relative to the end of the header), then the data.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "larkspur-core/src/base/result.h"

namespace larkspur::io {

// A header longer than this is refused before it is read: a real one names
// a few thousand tensors in well under a megabyte.
inline constexpr std::uint64_t kMaxSafetensorsHeader = std::uint64_t{100} << 20;

// The bytes one element of `dtype` takes ("BF16": 2, "U8": 1, "F8_E4M3": 1,
// ...), or nullopt for a dtype rows cannot be made of (unknown, or less than
// a byte an element).
std::optional<std::uint32_t> dtype_bytes(std::string_view dtype);

// A shape as errors print it: "[2, 3]".
std::string shape_text(std::span<const std::uint64_t> shape);

// One tensor of a file.
struct TensorEntry {
  std::string name;
  std::string dtype;  // as the header spells it
  std::uint32_t element_bytes = 0;
  std::vector<std::uint64_t> shape;
  // Where the data lies in the file: [begin, end), absolute offsets.
  std::uint64_t begin = 0;
  std::uint64_t end = 0;
};

struct SafetensorsHeader {
  // 8 + the header's length: where offset 0 of the data lies.
  std::uint64_t data_start = 0;
  // In the order of their data in the file.
  std::vector<TensorEntry> tensors;
};

// Checks and reads the header of a file of `file_size` bytes whose JSON
// part is `json` (its first `json.size()` bytes after the length). Strict:
// the JSON is one object; "__metadata__", when present, maps strings to
// strings; every other key is a tensor whose value is an object of exactly
// "dtype" (a known dtype), "shape" (an array of unsigned integers) and
// "data_offsets" ([begin, end], begin <= end); a repeated key is an error;
// the data's size is the elements times the element size, exactly; it ends
// inside the file; no two tensors' data overlap. Fails (kInvalidArgument)
// with "{file_name}: ..." texts that name the tensor:
//   "{file}: tensor {name}: data ends past the file's end"
// and the like.
Result<SafetensorsHeader> parse_safetensors_header(std::string_view json,
                                                   std::uint64_t file_size,
                                                   std::string_view file_name);

// Reads the header of the open file `fd` (named `file_name` in errors):
// the length first (a file shorter than 8 bytes, a length over
// kMaxSafetensorsHeader or past the file's end is an error), then the JSON.
Result<SafetensorsHeader> read_safetensors_header(int fd,
                                                  std::string_view file_name);

}  // namespace larkspur::io
