// Test support for the ring tests: the contents of their files and counts
// of the ring descriptors and mappings this process holds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>

#include "larkspur-core/src/base/temp_dir_testing.h"

namespace larkspur::io::testing {

inline constexpr const char* kRingInode = "anon_inode:[io_uring]";

// Descriptors of this process that are io_uring rings.
inline int count_ring_fds() {
  int n = 0;
  std::error_code ec;
  for (const auto& entry :
       std::filesystem::directory_iterator("/proc/self/fd", ec)) {
    std::error_code link_ec;
    if (std::filesystem::read_symlink(entry.path(), link_ec) == kRingInode) ++n;
  }
  return n;
}

// Mappings of this process that belong to io_uring rings.
inline int count_ring_mappings() {
  std::ifstream maps("/proc/self/maps");
  int n = 0;
  for (std::string line; std::getline(maps, line);) {
    if (line.find(kRingInode) != std::string::npos) ++n;
  }
  return n;
}

// Byte i of every test file.
inline std::byte pattern(std::uint64_t i) {
  return static_cast<std::byte>((i * 131 + i / 4096) & 0xff);
}

// The contents of a test file of `size` bytes.
inline std::string pattern_bytes(std::size_t size) {
  std::string data(size, '\0');
  for (std::size_t i = 0; i < size; ++i)
    data[i] = static_cast<char>(pattern(i));
  return data;
}

using larkspur::test::TempFile;

}  // namespace larkspur::io::testing
