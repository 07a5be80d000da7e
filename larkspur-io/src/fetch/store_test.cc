// Descriptor ownership of a Store. (Name choice and open failures are
// tested through the Python surface.)
#include "larkspur-io/src/fetch/store.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace larkspur::io {
namespace {

std::size_t open_fd_count() {
  std::size_t n = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) ++n;
  return n;
}

class StoreOpen : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/larkspur-store-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  void write(const std::string& name, const std::string& text) {
    std::ofstream(dir_ + "/" + name, std::ios::binary) << text;
  }

  // The first bytes of shard i as the store reads them.
  static std::string head(const Store& store, std::uint64_t shard) {
    char buf[16] = {};
    const ssize_t n = ::pread(store.fd(shard), buf, sizeof buf, 0);
    return std::string(buf, n > 0 ? static_cast<std::size_t>(n) : 0);
  }

  Result<Store> open(std::uint64_t shards, const std::string& dir) {
    return Store::open(dir, ShardGeometry{shards, 10, 4}, 32);
  }

  std::string dir_;
};

TEST_F(StoreOpen, DescriptorsCloseWithTheStoreAndFollowMoves) {
  write("shard_0.bin", "a");
  write("shard_1.bin", "b");
  const std::size_t before = open_fd_count();
  {
    Result<Store> store = open(2, dir_);
    ASSERT_TRUE(store);
    EXPECT_EQ(open_fd_count(), before + 2);
    Store moved = std::move(*store);
    EXPECT_EQ(head(moved, 1), "b");
    Result<Store> other = open(1, dir_);
    ASSERT_TRUE(other);
    moved = std::move(*other);  // closes the two it held
    EXPECT_EQ(open_fd_count(), before + 1);
  }
  EXPECT_EQ(open_fd_count(), before);
}

}  // namespace
}  // namespace larkspur::io
