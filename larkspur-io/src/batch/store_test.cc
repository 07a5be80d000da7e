// Opening shard files: name choice, failures and descriptor ownership.
#include "larkspur-io/src/batch/store.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
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

TEST_F(StoreOpen, FallbackNamesAndPreferenceForShardFiles) {
  write("badge_0.bin", "badge0");
  write("badge_1.bin", "badge1");
  write("shard_1.bin", "shard1");
  Result<Store> store = open(2, dir_);
  ASSERT_TRUE(store);
  EXPECT_EQ(store->shard_count(), 2U);
  EXPECT_EQ(head(*store, 0), "badge0");
  EXPECT_EQ(head(*store, 1), "shard1");
}

TEST_F(StoreOpen, DanglingSymlinkCountsAsMissing) {
  std::filesystem::create_symlink(dir_ + "/nowhere", dir_ + "/shard_0.bin");
  write("badge_0.bin", "badge0");
  Result<Store> store = open(1, dir_);
  ASSERT_TRUE(store);
  EXPECT_EQ(head(*store, 0), "badge0");
}

TEST_F(StoreOpen, TrailingSlashAndEmptyDirNameTheSameFiles) {
  write("shard_0.bin", "shard0");
  for (const std::string& d : {dir_, dir_ + "/"}) {
    Result<Store> store = open(1, d);
    ASSERT_TRUE(store) << d;
    EXPECT_EQ(head(*store, 0), "shard0");
  }
  const auto cwd = std::filesystem::current_path();
  std::filesystem::current_path(dir_);
  Result<Store> store = open(1, "");
  std::filesystem::current_path(cwd);
  ASSERT_TRUE(store);
  EXPECT_EQ(head(*store, 0), "shard0");
}

TEST_F(StoreOpen, PreferredPathThatCannotBeOpenedFailsWithoutTryingTheFallback) {
  // A socket: stat() sees it, open() refuses it.
  const int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(sock, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  const std::string path = dir_ + "/shard_0.bin";
  ASSERT_LT(path.size(), sizeof addr.sun_path);
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  ASSERT_EQ(::bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  write("badge_0.bin", "badge0");
  Result<Store> store = open(1, dir_);
  ::close(sock);
  ASSERT_FALSE(store);
  EXPECT_EQ(store.error().text(), "No such device or address (os error 6)");
}

TEST_F(StoreOpen, FailureClosesEverythingOpenedSoFar) {
  write("shard_0.bin", "a");
  write("badge_1.bin", "b");
  const std::size_t before = open_fd_count();
  Result<Store> store = open(3, dir_);
  ASSERT_FALSE(store);
  EXPECT_EQ(store.error().code(), ErrorCode::kIo);
  EXPECT_EQ(store.error().text(), "No such file or directory (os error 2)");
  EXPECT_EQ(open_fd_count(), before);
}

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

TEST_F(StoreOpen, ZeroShardsTouchNothing) {
  Result<Store> store = open(0, dir_ + "/does/not/exist");
  ASSERT_TRUE(store);
  EXPECT_EQ(store->shard_count(), 0U);
}

TEST_F(StoreOpen, NulInTheDirectoryName) {
  Result<Store> store = open(1, std::string("/tmp\0x", 6));
  ASSERT_FALSE(store);
  EXPECT_EQ(store.error().code(), ErrorCode::kOsText);
  EXPECT_EQ(store.error().text(), "file name contained an unexpected NUL byte");
}

TEST_F(StoreOpen, UnreservableTableFailsBeforeAnyOpen) {
  // The directory does not exist: failing with ENOENT would mean an open
  // was tried.
  Result<Store> store = open(std::uint64_t{1} << 62, dir_ + "/missing");
  ASSERT_FALSE(store);
  EXPECT_EQ(store.error().code(), ErrorCode::kNoMemory);
}

TEST_F(StoreOpen, DirectoryAsShardOpens) {
  std::filesystem::create_directory(dir_ + "/shard_0.bin");
  EXPECT_TRUE(open(1, dir_));
}

}  // namespace
}  // namespace larkspur::io
