#include "larkspur-io/src/view/manifest.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

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
    testing::Values(
        PathCase{"/data/emb.bin", "/data/emb.manifest.json"},
        PathCase{"/data/emb", "/data/emb.manifest.json"},
        PathCase{"/data/emb.old.bin", "/data/emb.old.manifest.json"},
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
        PathCase{"/data/../", std::nullopt}, PathCase{".", std::nullopt}));

// Each text is a value that must count as absent for the key it is given
// to, while the other key's usable value still counts.
class UnusableValueTest : public testing::TestWithParam<std::string> {};

TEST_P(UnusableValueTest, SlotBytesFallsBackAndGransStillCounts) {
  const ViewManifest m = parse_manifest(
      R"({"grans": 7, "slot_bytes": )" + GetParam() + "}");
  EXPECT_EQ(m, (ViewManifest{kDefaultSlotBytes, 7}));
}

TEST_P(UnusableValueTest, GransFallsBackAndSlotBytesStillCounts) {
  const ViewManifest m = parse_manifest(
      R"({"slot_bytes": 4096, "grans": )" + GetParam() + "}");
  EXPECT_EQ(m, (ViewManifest{4096, 0}));
}

INSTANTIATE_TEST_SUITE_P(
    Values, UnusableValueTest,
    testing::Values("2560.0", "2.56e3", "1e3", "1E3", "0.5", "-8", "-0",
                    "-0.0", R"("4096")", R"("")", "true", "false", "null",
                    "[4096]", "[]", R"({"slot_bytes": 4096})", "{}",
                    "18446744073709551616", "99999999999999999999999"));

TEST(ParseManifest, AcceptsPlainIntegersUpToTheLargest64BitValue) {
  EXPECT_EQ(
      parse_manifest(R"({"slot_bytes": 0, "grans": 18446744073709551615})"),
      (ViewManifest{0, 18446744073709551615ULL}));
  EXPECT_EQ(parse_manifest(" \n\t{ \"slot_bytes\" : 1 , \"grans\" : 9 }\r\n "),
            (ViewManifest{1, 9}));
}

TEST(ParseManifest, IgnoresOtherKeysAndNestedSettings) {
  EXPECT_EQ(parse_manifest(R"({"name": "emb", "inner": {"slot_bytes": 8},
                              "grans": 3, "dims": [1, 2]})"),
            (ViewManifest{kDefaultSlotBytes, 3}));
  EXPECT_EQ(parse_manifest(R"({"Slot_Bytes": 8, "grans ": 3})"),
            ViewManifest{});
}

TEST(ParseManifest, LastOccurrenceOfARepeatedKeyCounts) {
  EXPECT_EQ(parse_manifest(R"({"slot_bytes": 8, "slot_bytes": 16})").slot_bytes,
            16u);
  // A later unusable occurrence hides an earlier usable one.
  EXPECT_EQ(parse_manifest(R"({"slot_bytes": 8, "slot_bytes": "16"})")
                .slot_bytes,
            kDefaultSlotBytes);
}

class InvalidDocumentTest : public testing::TestWithParam<std::string> {};

TEST_P(InvalidDocumentTest, GivesBothDefaults) {
  EXPECT_EQ(parse_manifest(GetParam()), ViewManifest{});
}

INSTANTIATE_TEST_SUITE_P(
    Documents, InvalidDocumentTest,
    testing::Values(
        "", " ", R"({"slot_bytes": 4096, "grans": 2)",
        R"({"slot_bytes": 4096, "grans": 2,})",
        R"({"slot_bytes": 4096} {"grans": 2})",
        R"({"slot_bytes": 4096, "grans": 2} x)",
        R"([{"slot_bytes": 4096, "grans": 2}])", "4096", R"("slot_bytes")",
        "null", R"({'slot_bytes': 4096})", R"({slot_bytes: 4096})",
        "// note\n{\"slot_bytes\": 4096}",
        R"({"slot_bytes": 4096 /* note */})", R"({"slot_bytes": 04096})",
        R"({"slot_bytes": +4096})",
        // NUL bytes: after the document, inside it, inside a string.
        "{\"slot_bytes\": 4096, \"grans\": 2}\0garbage"s,
        "{\"slot_bytes\": 4096, \"grans\": 2}\0"s,
        "{\"slot_bytes\": 4096,\0 \"grans\": 2}"s,
        "{\"slot_bytes\": 4096, \"x\": \"a\0b\"}"s, "123\0garbage"s));

class LoadManifestTest : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/larkspur-manifest-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  void write(const std::string& name, const std::string& text) {
    std::ofstream(dir_ / name, std::ios::binary) << text;
  }
  std::string at(const std::string& name) const { return dir_ / name; }

  std::filesystem::path dir_;
};

TEST_F(LoadManifestTest, ReadsTheManifestBesideTheRecordFile) {
  write("emb.manifest.json", R"({"slot_bytes": 64, "grans": 5})");
  EXPECT_EQ(load_manifest(at("emb.bin")), (ViewManifest{64, 5}));
  EXPECT_EQ(load_manifest(at("emb")), (ViewManifest{64, 5}));
  EXPECT_EQ(load_manifest(at("emb.bin.old")), ViewManifest{});
}

TEST_F(LoadManifestTest, RelativePathsResolveFromTheWorkingDirectory) {
  write("rel.manifest.json", R"({"slot_bytes": 32})");
  const auto before = std::filesystem::current_path();
  std::filesystem::current_path(dir_);
  const ViewManifest m = load_manifest("rel.bin");
  std::filesystem::current_path(before);
  EXPECT_EQ(m, (ViewManifest{32, 0}));
}

TEST_F(LoadManifestTest, MissingOrUnreadableManifestGivesDefaults) {
  EXPECT_EQ(load_manifest(at("none.bin")), ViewManifest{});
  std::filesystem::create_directory(dir_ / "dir.manifest.json");
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
  std::filesystem::create_symlink(dir_ / "real.json",
                                  dir_ / "link.manifest.json");
  EXPECT_EQ(load_manifest(at("link.bin")), (ViewManifest{128, 1}));
  std::filesystem::create_symlink(dir_ / "gone.json",
                                  dir_ / "dangling.manifest.json");
  EXPECT_EQ(load_manifest(at("dangling.bin")), ViewManifest{});
}

}  // namespace
}  // namespace larkspur::io
