#include "app/server_config.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace corlinq {
namespace {

namespace fs = std::filesystem;

class ServerConfigTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("corlinq_serverip_" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    fs::create_directories(dir_);
    config_.serverBase = "https://profile";
    config_.serverSuffix = "before";
    config_.requestPath = "before";
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string Write(const std::string& bytes) {
    const fs::path path = dir_ / "serverip.dat";
    std::ofstream(path, std::ios::binary) << bytes;
    return path.string();
  }

  fs::path dir_;
  AppConfig config_;
};

TEST_F(ServerConfigTest, MissingFileGivesDefaults) {
  EXPECT_TRUE(ReadServerConfig(config_, (dir_ / "serverip.dat").string()));
  EXPECT_EQ(config_.serverBase, "https://profile");
  EXPECT_EQ(config_.serverSuffix, "");
  EXPECT_EQ(config_.requestPath, "/assist/server?reqtype=1&data=");
}

TEST_F(ServerConfigTest, ThreeLinesAreTakenAsTheyStand) {
  struct Case {
    const char* name;
    const char* bytes;
    const char* base;
    const char* suffix;
    const char* path;
  } cases[] = {
      {"LF", "https://a\n:8443\n/q?d=\n", "https://a", ":8443", "/q?d="},
      {"CR LF", "https://a\r\n:8443\r\n/q?d=\r\n", "https://a", ":8443", "/q?d="},
      {"no final break", "https://a\n:8443\n/q?d=", "https://a", ":8443", "/q?d="},
      {"empty second line", "https://a\n\n/q\n", "https://a", "", "/q"},
      {"empty third line", "https://a\n:1\n\n", "https://a", ":1", ""},
      {"blanks kept", " https://a \n :1\n/q \n", " https://a ", " :1", "/q "},
      {"fourth line ignored", "https://a\n:1\n/q\nextra\n", "https://a", ":1", "/q"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    AppConfig config;
    ASSERT_TRUE(ReadServerConfig(config, Write(c.bytes)));
    EXPECT_EQ(config.serverBase, c.base);
    EXPECT_EQ(config.serverSuffix, c.suffix);
    EXPECT_EQ(config.requestPath, c.path);
  }
}

TEST_F(ServerConfigTest, FewerThanThreeLinesChangeNothing) {
  for (const char* bytes : {"", "https://a\n", "https://a\n:1\n", "https://a\r\n:1\r\n"}) {
    SCOPED_TRACE(bytes);
    EXPECT_FALSE(ReadServerConfig(config_, Write(bytes)));
    EXPECT_EQ(config_.serverBase, "https://profile");
    EXPECT_EQ(config_.serverSuffix, "before");
    EXPECT_EQ(config_.requestPath, "before");
  }
}

TEST_F(ServerConfigTest, DefaultNameIsLookedUpInTheWorkingDirectory) {
  const fs::path saved = fs::current_path();
  fs::current_path(dir_);
  Write("https://cwd\n:9\n/p\n");
  AppConfig config;
  const bool ok = ReadServerConfig(config);
  fs::current_path(saved);
  ASSERT_TRUE(ok);
  EXPECT_EQ(config.serverBase, "https://cwd");
}

}  // namespace
}  // namespace corlinq
