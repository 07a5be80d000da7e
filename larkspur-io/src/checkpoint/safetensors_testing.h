// Test support: the bytes of safetensors files, from raw header text or
// from a list of tensors laid out one after another.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "larkspur-io/src/checkpoint/safetensors.h"

namespace larkspur::test {

// The 8-byte little-endian length of `json`, `json`, then `data`.
inline std::string safetensors_bytes(std::string_view json,
                                     std::string_view data = {}) {
  std::string out;
  std::uint64_t n = json.size();
  for (int i = 0; i < 8; ++i, n >>= 8U) {
    out.push_back(static_cast<char>(n & 0xffU));
  }
  out.append(json);
  out.append(data);
  return out;
}

struct TestTensor {
  std::string name;
  std::string dtype;
  std::vector<std::uint64_t> shape;
};

// A whole file holding `tensors` in the order given, their data back to
// back; every byte of tensor k is k + 1. The JSON is padded with spaces to
// a multiple of 8 bytes, as writers do, and has a "__metadata__" entry.
inline std::string safetensors_file(const std::vector<TestTensor>& tensors) {
  std::string json = R"({"__metadata__":{"format":"pt"})";
  std::string data;
  for (std::size_t k = 0; k < tensors.size(); ++k) {
    const TestTensor& t = tensors[k];
    std::uint64_t bytes = io::dtype_bytes(t.dtype).value_or(1);
    std::string shape;
    for (const std::uint64_t n : t.shape) {
      if (!shape.empty()) shape += ',';
      shape += std::to_string(n);
      bytes *= n;
    }
    json += R"(,")" + t.name + R"(":{"dtype":")" + t.dtype + R"(","shape":[)" +
            shape + R"(],"data_offsets":[)" + std::to_string(data.size()) +
            "," + std::to_string(data.size() + bytes) + "]}";
    data.append(bytes, static_cast<char>(k + 1));
  }
  json += '}';
  json.append((8 - json.size() % 8) % 8, ' ');
  return safetensors_bytes(json, data);
}

}  // namespace larkspur::test
