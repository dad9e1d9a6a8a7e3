// The run's record and its progress helpers.
#include <gtest/gtest.h>

#include "engine/engine_fakes.h"

namespace corlinq::testing {
namespace {

TEST(InstallEngineRecord, DerivedPathsAndUrls) {
  World w;
  auto engine = w.Engine(ProgressMode::Update);
  EXPECT_EQ(engine->familyWord, "MOVRA");
  EXPECT_EQ(engine->updateFlag, 1);
  EXPECT_EQ(engine->serverVersion, "2.0.0.1");
  EXPECT_EQ(engine->stagingDir, "C:\\A\\DownLoad");
  EXPECT_EQ(engine->commonManifestUrl, "https://127.0.0.1/867/Digest.xml");
  EXPECT_EQ(engine->bankManifestUrl, "https://127.0.0.1/867/Digest_867.xml");
  EXPECT_EQ(engine->stagedCommonManifest, "C:\\A\\DownLoad\\Digest.xml");
  EXPECT_EQ(engine->stagedBankManifest, "C:\\A\\DownLoad\\Digest_867.xml");
  EXPECT_EQ(engine->installedCommonManifest, "C:\\A\\Digest.xml");
  EXPECT_EQ(engine->installedBankManifest, "C:\\A\\Digest_867.xml");
  EXPECT_EQ(engine->totalSteps, 0);
  EXPECT_EQ(engine->stepCounter, 1);
  EXPECT_TRUE(engine->updateList.empty());
  EXPECT_EQ(w.host.comDepth, 1);
  engine->Dispose();
  engine->Dispose();
  EXPECT_EQ(w.host.comDepth, 0);
}

TEST(InstallEngineRecord, BankManifestNameHasAtLeastThreeDigits) {
  World w;
  w.config.bankId = 0x42;
  EXPECT_EQ(w.Engine(ProgressMode::Install)->installedBankManifest, "C:\\A\\Digest_042.xml");
  w.config.bankId = 0x1a2b;
  EXPECT_EQ(w.Engine(ProgressMode::Install)->installedBankManifest, "C:\\A\\Digest_1a2b.xml");
}

TEST(InstallEngineRecord, RegistryFallbackFillsMissingValues) {
  struct Case {
    const char* name;
    bool keyPresent;
    bool valuesPresent;
    const char* configBase;
    const char* configDir;
    const char* base;
    const char* dir;
  };
  const Case cases[] = {
      {"both from the key", true, true, "", "", "https://fallback", "D:\\Fallback"},
      {"key missing", false, false, "", "", "", ""},
      {"key without values", true, false, "", "", "", ""},
      {"configuration wins", true, true, "https://config", "E:\\Config", "https://config", "E:\\Config"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    World w;
    w.config.downloadBaseUrl = c.configBase;
    w.config.installDir = c.configDir;
    if (c.keyPresent) {
      auto& values = w.registry.keys[{RegistryView::k32, "Software\\Tollwyn\\WebUI\\MOVRA"}];
      if (c.valuesPresent) values = {{"ServerURL", "https://fallback"}, {"Path", "D:\\Fallback"}};
    }
    auto engine = w.Engine(ProgressMode::Install);
    EXPECT_EQ(engine->baseUrl, c.base);
    EXPECT_EQ(engine->installDir, c.dir);
    EXPECT_EQ(engine->stagingDir, std::string(c.dir) + "\\DownLoad");
    EXPECT_EQ(engine->commonManifestUrl, std::string(c.base) + "/Digest.xml");
  }
}

TEST(InstallEngineRecord, StagedBankManifestOfDefaultBuild) {
  World w;
  EXPECT_EQ(w.Engine(ProgressMode::Install)->stagedBankManifest, "C:\\A\\DownLoad\\Digest_867.xml");
}

TEST(ProgressHelpers, WriteInOrderAndCountSteps) {
  World w;
  auto engine = w.Engine(ProgressMode::Install);
  engine->totalSteps = 8;
  engine->stepCounter = 3;
  engine->SetStatus("正在下载 配置文件");
  engine->ReportStepDone();
  engine->SetButtonText("下载失败");
  EXPECT_EQ(engine->stepCounter, 4);
  const std::vector<std::string> expected = {
      "text 1020 正在下载 配置文件", "refresh 1020", "text 1024 37.50%", "refresh 1024", "pos 1022 3",
      "text 2 下载失败"};
  EXPECT_EQ(w.dialog.log, expected);
}

}  // namespace
}  // namespace corlinq::testing
