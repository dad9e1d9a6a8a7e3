#include "config/app_config.h"

#include <gtest/gtest.h>

#include "base/strings.h"
#include "config/bank_profile.h"
#include "config/build_constants.h"

namespace corlinq {
namespace {

TEST(ApplyBankProfile, DemoBankFormsItsNamesAndServers) {
  AppConfig config;
  ApplyBankProfile(config, 0x867);
  EXPECT_EQ(config.bankId, 0x867);
  EXPECT_EQ(config.familyWord, "MOVRA");
  EXPECT_EQ(config.assistantExeName, "WebUI_867.exe");
  EXPECT_EQ(config.uninstallerExeName, "uninst_867.exe");
  EXPECT_EQ(config.downloaderExeName, "corlinq_867.exe");
  EXPECT_EQ(config.downloaderTitle, "恒澍银行网银助手下载器");
  EXPECT_EQ(config.productName, "恒澍银行网银助手");
  EXPECT_EQ(config.installSubfolder, "恒澍银行网上银行安全组件\\恒澍银行网银助手");
  EXPECT_EQ(config.serverBase, "https://localhost");
  EXPECT_EQ(config.serverList, (std::vector<std::string>{"https://localhost", "https://127.0.0.2",
                                                         "https://127.0.0.3", "https://127.0.0.4"}));
  EXPECT_EQ(config.legacyProductKey, "");
  EXPECT_EQ(config.registryVendor, "");
  EXPECT_EQ(config.iconId, 181);
  EXPECT_EQ((std::vector<int>{config.queryImageId, config.welcomeImageId, config.optionsImageId,
                              config.progressImageA, config.progressImageB, config.updateImageId,
                              config.reinstallImageId}),
            (std::vector<int>{174, 175, 176, 177, 178, 180, 184}));
}

// Every row of the table, including ids of four digits and ids below 0x100.
TEST(ApplyBankProfile, EveryRowFormsItsHexNames) {
  for (const BankProfile& row : AllBankProfiles()) {
    SCOPED_TRACE(row.bankId);
    AppConfig config;
    ApplyBankProfile(config, row.bankId);
    const std::string hex3 = StrPrintf("%03x", static_cast<unsigned>(row.bankId));
    EXPECT_GE(hex3.size(), 3u);
    EXPECT_EQ(config.assistantExeName, "WebUI_" + hex3 + ".exe");
    EXPECT_EQ(config.downloaderExeName, "corlinq_" + hex3 + ".exe");
    EXPECT_EQ(config.downloaderTitle, std::string(row.displayName) + "网银助手下载器");
    EXPECT_EQ(config.serverList.size(), row.hasServerList() ? 4u : 0u);
    EXPECT_EQ(config.legacyProductKey, row.legacyProductKey);
  }
}

TEST(ApplyBankProfile, HexFormsAtTheEdges) {
  struct Case {
    int id;
    const char* hex3;
  } cases[] = {{0x1a2b, "1a2b"}, {0x42, "042"}, {0x103, "103"}};
  for (const auto& c : cases) {
    AppConfig config;
    ApplyBankProfile(config, c.id);
    EXPECT_EQ(config.downloaderExeName, std::string("corlinq_") + c.hex3 + ".exe");
    EXPECT_EQ(config.uninstallerExeName, std::string("uninst_") + c.hex3 + ".exe");
  }
  EXPECT_EQ(StrPrintf("%x", 0x42u), "42");
  EXPECT_EQ(StrPrintf("_%d", 0x867), "_2151");
}

TEST(ApplyBankProfile, UnknownBankLeavesNameAndServersEmpty) {
  AppConfig config;
  ApplyBankProfile(config, 0x999);
  EXPECT_EQ(config.downloaderTitle, "网银助手下载器");
  EXPECT_EQ(config.installSubfolder, "网上银行安全组件\\网银助手");
  EXPECT_EQ(config.serverBase, "");
  EXPECT_TRUE(config.serverList.empty());
  EXPECT_EQ(config.downloaderExeName, "corlinq_999.exe");
}

TEST(ApplyBankProfile, LegacyKeyIsEmptiedFirst) {
  AppConfig config;
  config.legacyProductKey = "left over";
  ApplyBankProfile(config, 0x867);
  EXPECT_EQ(config.legacyProductKey, "");
  ApplyBankProfile(config, 0x42);
  EXPECT_EQ(config.legacyProductKey, "Linze Online Banking Assistant");
}

TEST(BuildConstants, BankIdTextMatchesTheId) {
  EXPECT_EQ(std::string(kBankIdText), StrPrintf("%x", static_cast<unsigned>(kBankId)));
  EXPECT_NE(FindBankProfile(kBankId), nullptr) << "the build's bank has a row";
}

}  // namespace
}  // namespace corlinq
