// Test support: a fresh temporary directory and a temporary file, each
// removed with the object that made it.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>

#include "larkspur-core/src/base/unique_fd.h"

namespace larkspur::test {

// Writes all of `contents` to `fd`; false (and a test failure) otherwise.
inline bool write_all(int fd, std::string_view contents) {
  for (std::size_t done = 0; done < contents.size();) {
    const ssize_t n =
        ::write(fd, contents.data() + done, contents.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ADD_FAILURE() << "write: " << std::generic_category().message(errno);
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// A fresh directory under the system's temporary directory, removed with
// everything in it when the object goes. Entry names are taken relative to
// it, a leading '/' included, so a test never writes outside it.
class TempDir {
 public:
  TempDir() {
    std::string name =
        (std::filesystem::temp_directory_path() / "larkspur-test-XXXXXX")
            .string();
    if (::mkdtemp(name.data()) == nullptr) {
      ADD_FAILURE() << "mkdtemp: " << std::generic_category().message(errno);
      return;
    }
    path_ = name;
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir() {
    if (path_.empty()) return;
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }

  const std::filesystem::path& path() const { return path_; }

  // The path of entry `name`.
  std::string operator/(std::string_view name) const {
    while (!name.empty() && name.front() == '/') name.remove_prefix(1);
    return (path_ / name).string();
  }

  // Makes entry `name` (and the directories above it) a file of `contents`;
  // returns its path.
  std::string write(std::string_view name, std::string_view contents) const {
    const std::string path = *this / name;
    std::error_code ec;
    std::filesystem::create_directories(
        std::filesystem::path(path).parent_path(), ec);
    const UniqueFd fd(
        ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    if (!fd.valid()) {
      ADD_FAILURE() << "open " << path << ": "
                    << std::generic_category().message(errno);
    } else {
      write_all(fd.get(), contents);
    }
    return path;
  }

 private:
  std::filesystem::path path_;  // empty when mkdtemp failed
};

// A file of `contents` in a TempDir, open for reading and writing and
// positioned at its end, as after writing it.
class TempFile {
 public:
  explicit TempFile(std::string_view contents) : path_(dir_ / "file") {
    fd_.reset(
        ::open(path_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (!fd_.valid()) {
      ADD_FAILURE() << "open " << path_ << ": "
                    << std::generic_category().message(errno);
      return;
    }
    write_all(fd_.get(), contents);
  }

  int fd() const { return fd_.get(); }
  const std::string& path() const { return path_; }

 private:
  TempDir dir_;  // declared first: removed after the descriptor is closed
  std::string path_;
  UniqueFd fd_;
};

}  // namespace larkspur::test
