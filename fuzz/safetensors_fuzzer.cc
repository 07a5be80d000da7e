// Safetensors header parsing on arbitrary text. The input is the 8-byte
// little-endian count of data bytes after the header (any value: the sum
// with the header's end wraps, so every file size is reachable), then the
// header's JSON. A header that is accepted must describe a possible file:
// tensors in data order, unique, each inside the data, sized exactly by its
// shape and dtype, none overlapping another; and it must say what a full
// JSON parser reads from the same text.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "larkspur-io/src/checkpoint/safetensors.h"

namespace {

using larkspur::io::dtype_bytes;
using larkspur::io::parse_safetensors_header;
using larkspur::io::SafetensorsHeader;
using larkspur::io::TensorEntry;

void check(bool ok) {
  if (!ok) std::abort();
}

void check_layout(const SafetensorsHeader& h, std::size_t json_size,
                  std::uint64_t file_size) {
  check(h.data_start == 8 + json_size);
  std::uint64_t furthest = h.data_start;
  for (std::size_t k = 0; k < h.tensors.size(); ++k) {
    const TensorEntry& t = h.tensors[k];
    check(h.data_start <= t.begin && t.begin <= t.end && t.end <= file_size);
    check(dtype_bytes(t.dtype) == t.element_bytes && t.element_bytes > 0);
    unsigned __int128 bytes = t.element_bytes;
    for (const std::uint64_t n : t.shape) {
      bytes *= n;
      // Past the file's size no later factor can bring it back but 0.
      bytes = std::min<unsigned __int128>(bytes, file_size + 1);
    }
    check(bytes == t.end - t.begin);
    if (k > 0) {
      const TensorEntry& before = h.tensors[k - 1];
      check(before.begin < t.begin ||
            (before.begin == t.begin && before.name < t.name));
    }
    if (t.begin < t.end) {
      check(t.begin >= furthest);
      furthest = t.end;
    }
  }
}

// The accepted header agrees with the document a full parser builds.
void check_against_document(const SafetensorsHeader& h, std::string_view json) {
  const nlohmann::json doc =
      nlohmann::json::parse(json, nullptr, /*allow_exceptions=*/false);
  check(doc.is_object());
  const bool metadata = doc.contains("__metadata__");
  check(doc.size() == h.tensors.size() + (metadata ? 1 : 0));
  if (metadata) {
    check(doc["__metadata__"].is_object());
    for (const auto& value : doc["__metadata__"]) check(value.is_string());
  }
  for (const TensorEntry& t : h.tensors) {
    const auto it = doc.find(t.name);
    check(it != doc.end() && it->is_object() && it->size() == 3);
    const auto& dtype = (*it)["dtype"];
    check(dtype.is_string() && dtype.get_ref<const std::string&>() == t.dtype);
    const auto& shape = (*it)["shape"];
    check(shape.is_array() && shape.size() == t.shape.size());
    for (std::size_t i = 0; i < t.shape.size(); ++i) {
      check(shape[i].is_number_unsigned() &&
            shape[i].get<std::uint64_t>() == t.shape[i]);
    }
    const auto& offsets = (*it)["data_offsets"];
    check(offsets.is_array() && offsets.size() == 2);
    check(offsets[0].get<std::uint64_t>() + h.data_start == t.begin);
    check(offsets[1].get<std::uint64_t>() + h.data_start == t.end);
  }
}

}  // namespace

// The entry point libFuzzer calls.
// NOLINTNEXTLINE(readability-identifier-naming)
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  if (size < 8) return 0;
  std::uint64_t data_bytes = 0;
  for (std::size_t i = 8; i-- > 0;) {
    data_bytes = (data_bytes << 8U) | data[i];
  }
  const std::string_view json(reinterpret_cast<const char*>(data) + 8,
                              size - 8);
  const std::uint64_t file_size = 8 + json.size() + data_bytes;
  const auto header = parse_safetensors_header(json, file_size, "f");
  if (!header) {
    check(header.error().code() == larkspur::ErrorCode::kInvalidArgument);
    check(header.error().text().starts_with("f: "));
    return 0;
  }
  check_layout(*header, json.size(), file_size);
  check_against_document(*header, json);
  // Only spaces may follow the object; other blanks are refused.
  if (file_size > UINT64_MAX - 3) return 0;
  std::string padded(json);
  padded += "   ";
  const auto again = parse_safetensors_header(padded, file_size + 3, "f");
  check(again && again->tensors.size() == header->tensors.size());
  padded.back() = '\n';
  check(!parse_safetensors_header(padded, file_size + 3, "f"));
  return 0;
}
