#include "larkspur-io/src/view/manifest.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "larkspur-core/src/base/temp_dir_testing.h"

namespace larkspur::io {
namespace {

using namespace std::string_literals;

struct PathCase {
  std::string path;
  std::optional<std::string> manifest;
};

class ManifestPathTest : public testing::TestWithParam<PathCase> {};

TEST_P(ManifestPathTest, ReplacesTheExtensionOfTheLastComponent) {
  EXPECT_EQ(manifest_path(GetParam().path), GetParam().manifest);
}

INSTANTIATE_TEST_SUITE_P(
    Paths, ManifestPathTest,
    testing::Values(PathCase{"/data/emb.bin", "/data/emb.manifest.json"},
                    PathCase{"/data/emb", "/data/emb.manifest.json"},
                    PathCase{"/data/emb.old.bin",
                             "/data/emb.old.manifest.json"},
                    PathCase{"/data/.emb", "/data/.emb.manifest.json"},
                    PathCase{"emb.bin", "emb.manifest.json"},
                    PathCase{"/data/emb.", "/data/emb.manifest.json"},
                    PathCase{"/data/..emb", "/data/..manifest.json"},
                    PathCase{"/da.ta/emb", "/da.ta/emb.manifest.json"},
                    PathCase{"/data/emb.bin/", "/data/emb.manifest.json"},
                    PathCase{"/data/emb//", "/data/emb.manifest.json"},
                    PathCase{"", std::nullopt}, PathCase{"/", std::nullopt},
                    PathCase{"//", std::nullopt}, PathCase{"..", std::nullopt},
                    PathCase{"/data/..", std::nullopt},
                    PathCase{"/data/../", std::nullopt},
                    PathCase{".", std::nullopt}));

class LoadManifestTest : public testing::Test {
 protected:
  void write(const std::string& name, const std::string& text) {
    dir_.write(name, text);
  }
  std::string at(const std::string& name) const { return dir_ / name; }

  larkspur::test::TempDir dir_;
};

TEST_F(LoadManifestTest, MissingOrUnreadableManifestGivesDefaults) {
  EXPECT_EQ(load_manifest(at("none.bin")), ViewManifest{});
  std::filesystem::create_directory(at("dir.manifest.json"));
  EXPECT_EQ(load_manifest(at("dir.bin")), ViewManifest{});
  write("x.manifest.json", R"({"slot_bytes": 64})");
  // Cut at the NUL, the manifest's name would be that of the one above.
  EXPECT_EQ(load_manifest(at("x.manifest.json\0.bin"s)), ViewManifest{});
  if (::geteuid() != 0) {
    ::chmod(at("x.manifest.json").c_str(), 0);
    EXPECT_EQ(load_manifest(at("x.bin")), ViewManifest{});
  }
}

TEST_F(LoadManifestTest, FollowsSymbolicLinks) {
  write("real.json", R"({"slot_bytes": 128, "grans": 1})");
  std::filesystem::create_symlink(at("real.json"), at("link.manifest.json"));
  EXPECT_EQ(load_manifest(at("link.bin")), (ViewManifest{128, 1}));
  std::filesystem::create_symlink(at("gone.json"),
                                  at("dangling.manifest.json"));
  EXPECT_EQ(load_manifest(at("dangling.bin")), ViewManifest{});
}

}  // namespace
}  // namespace larkspur::io
