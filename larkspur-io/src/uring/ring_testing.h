// Test support for the ring tests: temporary files and counts of the ring
// descriptors and mappings this process holds.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <vector>

#include "larkspur-core/src/base/unique_fd.h"

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

// A file of `size` pattern bytes, removed with the object.
class TempFile {
 public:
  explicit TempFile(std::size_t size) {
    std::string path =
        (std::filesystem::temp_directory_path() / "larkspur-ring-XXXXXX")
            .string();
    fd_ = UniqueFd(::mkstemp(path.data()));
    path_ = path;
    std::vector<std::byte> data(size);
    for (std::size_t i = 0; i < size; ++i) data[i] = pattern(i);
    for (std::size_t done = 0; done < size;) {
      const ssize_t n = ::write(fd_.get(), data.data() + done, size - done);
      if (n <= 0) break;
      done += static_cast<std::size_t>(n);
    }
  }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  ~TempFile() {
    std::error_code ec;
    std::filesystem::remove(path_, ec);
  }

  int fd() const { return fd_.get(); }

 private:
  UniqueFd fd_;
  std::filesystem::path path_;
};

}  // namespace larkspur::io::testing
