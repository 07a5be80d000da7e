// Descriptor ownership of a Store. (Name choice and open failures are
// tested through the Python surface.)
#include "larkspur-io/src/fetch/store.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <filesystem>
#include <string>

#include "larkspur-core/src/base/temp_dir_testing.h"

namespace larkspur::io {
namespace {

std::size_t open_fd_count() {
  std::size_t n = 0;
  for ([[maybe_unused]] const auto& e :
       std::filesystem::directory_iterator("/proc/self/fd"))
    ++n;
  return n;
}

class StoreOpen : public ::testing::Test {
 protected:
  // The first bytes of shard i as the store reads them.
  static std::string head(const Store& store, std::uint64_t shard) {
    std::array<char, 16> buf{};
    const ssize_t n = ::pread(store.fd(shard), buf.data(), buf.size(), 0);
    return std::string(buf.data(), n > 0 ? static_cast<std::size_t>(n) : 0);
  }

  Result<Store> open(std::uint64_t shards) {
    return Store::open(dir_.path().string(), ShardGeometry{shards, 10, 4}, 32);
  }

  test::TempDir& dir() { return dir_; }

 private:
  test::TempDir dir_;
};

TEST_F(StoreOpen, DescriptorsCloseWithTheStoreAndFollowMoves) {
  dir().write("shard_0.bin", "a");
  dir().write("shard_1.bin", "b");
  const std::size_t before = open_fd_count();
  {
    Result<Store> store = open(2);
    ASSERT_TRUE(store);
    EXPECT_EQ(open_fd_count(), before + 2);
    Store moved = std::move(*store);
    EXPECT_EQ(head(moved, 1), "b");
    Result<Store> other = open(1);
    ASSERT_TRUE(other);
    moved = std::move(*other);  // closes the two it held
    EXPECT_EQ(open_fd_count(), before + 1);
  }
  EXPECT_EQ(open_fd_count(), before);
}

}  // namespace
}  // namespace larkspur::io
