#include "tools/update-server/release_path.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>

namespace corlinq {
namespace {

namespace fs = std::filesystem;

TEST(PercentDecodePathTest, DecodesEscapesAndRefusesMalformedOnes) {
  const struct {
    const char* raw;
    bool ok;
    const char* decoded;
  } cases[] = {
      {"/a/b.xml", true, "/a/b.xml"},
      {"/%E8%B5%84%E6%96%99/a+b", true, "/\xE8\xB5\x84\xE6\x96\x99/a+b"},
      {"/%2e%2E/%2f", true, "/../" "/"},
      {"/%25", true, "/%"},
      {"/%", false, ""},
      {"/%4", false, ""},
      {"/%zz", false, ""},
      {"/a%00b", false, ""},
  };
  for (const auto& c : cases) {
    std::string decoded;
    EXPECT_EQ(PercentDecodePath(c.raw, decoded), c.ok) << c.raw;
    if (c.ok) {
      EXPECT_EQ(decoded, c.decoded) << c.raw;
    }
  }
}

class ResolveReleaseFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/release_path_test.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    base_ = tmpl;
    root_ = base_ / "release";
    fs::create_directories(root_ / "bin");
    fs::create_directories(root_ / "\xE8\xB5\x84\xE6\x96\x99");
    Write(root_ / "Digest.xml");
    Write(root_ / "bin" / "a.dll");
    Write(root_ / "\xE8\xB5\x84\xE6\x96\x99" / "\xE8\xAF\xB4\xE6\x98\x8E.txt");
    Write(base_ / "secret.txt");
    Write(base_ / "release-old.txt");
    fs::create_symlink("../secret.txt", root_ / "link-out");
    fs::create_symlink("..", root_ / "dir-out");
    fs::create_symlink("Digest.xml", root_ / "alias.xml");
    fs::create_symlink("/nonexistent/x", root_ / "dangling-out");
    fs::create_symlink("missing.xml", root_ / "dangling-in");
  }
  void TearDown() override { fs::remove_all(base_); }
  static void Write(const fs::path& p) { std::ofstream(p) << "x"; }

  fs::path base_, root_;
};

TEST_F(ResolveReleaseFileTest, ServesFilesInsideAndRefusesEveryWayOut) {
  using R = ReleasePathResult;
  const struct {
    const char* relative;
    R result;
    const char* file;  // relative to the release folder when found
  } cases[] = {
      {"/Digest.xml", R::kFound, "Digest.xml"},
      {"Digest.xml", R::kFound, "Digest.xml"},
      {"/bin/a.dll", R::kFound, "bin/a.dll"},
      {"\\bin\\a.dll", R::kFound, "bin/a.dll"},
      {"//bin//./a.dll", R::kFound, "bin/a.dll"},
      {"/\xE8\xB5\x84\xE6\x96\x99/\xE8\xAF\xB4\xE6\x98\x8E.txt", R::kFound,
       "\xE8\xB5\x84\xE6\x96\x99/\xE8\xAF\xB4\xE6\x98\x8E.txt"},
      {"/alias.xml", R::kFound, "Digest.xml"},
      {"/", R::kNotFound, nullptr},
      {"", R::kNotFound, nullptr},
      {"/bin", R::kNotFound, nullptr},
      {"/missing.xml", R::kNotFound, nullptr},
      {"/dangling-in", R::kNotFound, nullptr},
      {"/../secret.txt", R::kForbidden, nullptr},
      {"/bin/../../secret.txt", R::kForbidden, nullptr},
      {"/bin/../Digest.xml", R::kForbidden, nullptr},
      {"\\..\\secret.txt", R::kForbidden, nullptr},
      {"/..", R::kForbidden, nullptr},
      {"/link-out", R::kForbidden, nullptr},
      {"/dir-out/secret.txt", R::kForbidden, nullptr},
      {"/dir-out/release/Digest.xml", R::kFound, "Digest.xml"},
      {"/dangling-out", R::kNotFound, nullptr},
      {"/../release-old.txt", R::kForbidden, nullptr},
  };
  for (const auto& c : cases) {
    fs::path file;
    EXPECT_EQ(ResolveReleaseFile(root_, c.relative, file), c.result) << c.relative;
    if (c.file != nullptr) {
      EXPECT_EQ(file, fs::canonical(root_ / c.file)) << c.relative;
    }
  }
}

TEST_F(ResolveReleaseFileTest, AMissingReleaseFolderServesNothing) {
  fs::path file;
  EXPECT_EQ(ResolveReleaseFile(base_ / "nope", "/Digest.xml", file), ReleasePathResult::kNotFound);
}

}  // namespace
}  // namespace corlinq
