// Descriptor ownership of a Store. (Name choice and open failures are
// tested through the Python surface.)
#include "larkspur-io/src/fetch/store.h"

#include <gtest/gtest.h>
#include <unistd.h>

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
    char buf[16] = {};
    const ssize_t n = ::pread(store.fd(shard), buf, sizeof buf, 0);
    return std::string(buf, n > 0 ? static_cast<std::size_t>(n) : 0);
  }

  Result<Store> open(std::uint64_t shards) {
    return Store::open(dir_.path().string(), ShardGeometry{shards, 10, 4}, 32);
  }

  test::TempDir dir_;
};

TEST_F(StoreOpen, DescriptorsCloseWithTheStoreAndFollowMoves) {
  dir_.write("shard_0.bin", "a");
  dir_.write("shard_1.bin", "b");
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
