// Acceptance rules of the pool's environment variables and the CPU count.
#include "larkspur-io/src/pool/pool_config.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>

#include "larkspur-core/src/base/temp_dir_testing.h"

namespace larkspur::io {
namespace {

TEST(DefaultWorkerCount, ClampsToThirtyTwoThroughSixtyFour) {
  EXPECT_EQ(default_worker_count(std::nullopt), 32U);
  EXPECT_EQ(default_worker_count(1), 32U);
  EXPECT_EQ(default_worker_count(48), 48U);
  EXPECT_EQ(default_worker_count(64), 64U);
  EXPECT_EQ(default_worker_count(1000), 64U);
}

TEST(AffinityCpus, CountsAtLeastOneCpu) {
  const auto cpus = affinity_cpus();
  ASSERT_TRUE(cpus.has_value());
  EXPECT_GE(*cpus, 1U);
}

// A fake cgroup tree under a temporary directory.
class CgroupTree : public ::testing::Test {
 protected:
  void write(const std::string& rel, const std::string& text) {
    root_.write(rel, text);
  }

  std::optional<std::uint64_t> limit(const std::string& cgroup,
                                     const std::string& mountinfo) {
    return cgroup_cpu_limit(cgroup, mountinfo, root_.path().string());
  }

  test::TempDir root_;
};

constexpr const char* kV2Mount =
    "41 31 0:38 / /sys/fs/cgroup rw,relatime - cgroup2 cgroup2 rw\n";
constexpr const char* kV1Mount =
    "32 31 0:29 / /sys/fs/cgroup/cpu,cpuacct rw,relatime - cgroup cgroup "
    "rw,cpu,cpuacct\n";

TEST_F(CgroupTree, V2QuotaRoundsUpToWholeCpus) {
  write("/sys/fs/cgroup/app/cpu.max", "150000 100000\n");
  EXPECT_EQ(limit("0::/app\n", kV2Mount), 2U);
}

TEST_F(CgroupTree, V2MaxMeansNoLimit) {
  write("/sys/fs/cgroup/app/cpu.max", "max 100000\n");
  EXPECT_EQ(limit("0::/app\n", kV2Mount), std::nullopt);
}

TEST_F(CgroupTree, V2TightestAncestorWins) {
  write("/sys/fs/cgroup/a/cpu.max", "100000 100000\n");
  write("/sys/fs/cgroup/a/b/cpu.max", "400000 100000\n");
  write("/sys/fs/cgroup/a/b/c/cpu.max", "max 100000\n");
  EXPECT_EQ(limit("0::/a/b/c\n", kV2Mount), 1U);
}

TEST_F(CgroupTree, V2SmallQuotaStillAllowsOneCpu) {
  write("/sys/fs/cgroup/app/cpu.max", "1000 100000\n");
  EXPECT_EQ(limit("0::/app\n", kV2Mount), 1U);
}

TEST_F(CgroupTree, V2NamespacedMountRootIsStripped) {
  write("/sys/fs/cgroup/cpu.max", "300000 100000\n");
  EXPECT_EQ(
      limit("0::/outer/inner\n",
            "41 31 0:38 /outer/inner /sys/fs/cgroup rw - cgroup2 cgroup2 rw\n"),
      3U);
}

TEST_F(CgroupTree, V1CfsQuota) {
  write("/sys/fs/cgroup/cpu,cpuacct/job/cpu.cfs_quota_us", "250000\n");
  write("/sys/fs/cgroup/cpu,cpuacct/job/cpu.cfs_period_us", "100000\n");
  EXPECT_EQ(limit("4:cpu,cpuacct:/job\n", kV1Mount), 3U);
}

TEST_F(CgroupTree, V1MinusOneMeansNoLimit) {
  write("/sys/fs/cgroup/cpu,cpuacct/job/cpu.cfs_quota_us", "-1\n");
  write("/sys/fs/cgroup/cpu,cpuacct/job/cpu.cfs_period_us", "100000\n");
  EXPECT_EQ(limit("4:cpu,cpuacct:/job\n", kV1Mount), std::nullopt);
}

TEST_F(CgroupTree, HybridTakesTheSmallerOfBoth) {
  write("/sys/fs/cgroup/cpu,cpuacct/cpu.cfs_quota_us", "500000\n");
  write("/sys/fs/cgroup/cpu,cpuacct/cpu.cfs_period_us", "100000\n");
  write("/sys/fs/cgroup/unified/cpu.max", "200000 100000\n");
  EXPECT_EQ(
      limit(
          "4:cpu,cpuacct:/\n0::/\n",
          std::string(kV1Mount) +
              "41 31 0:38 / /sys/fs/cgroup/unified rw - cgroup2 cgroup2 rw\n"),
      2U);
}

TEST_F(CgroupTree, EscapedMountPoint) {
  write("/mnt/cg roup/cpu.max", "200000 100000\n");
  EXPECT_EQ(limit("0::/\n",
                  "41 31 0:38 / /mnt/cg\\040roup rw - cgroup2 cgroup2 rw\n"),
            2U);
}

TEST_F(CgroupTree, UnrelatedControllersAndMissingFilesGiveNoLimit) {
  write("/sys/fs/cgroup/memory/job/cpu.cfs_quota_us", "100000\n");
  EXPECT_EQ(
      limit(
          "5:memory:/job\n4:cpu:/job\n",
          "35 31 0:32 / /sys/fs/cgroup/memory rw - cgroup cgroup rw,memory\n"),
      std::nullopt);
  EXPECT_EQ(limit("", kV2Mount), std::nullopt);
}

}  // namespace
}  // namespace larkspur::io
