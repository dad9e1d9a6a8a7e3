#pragma once
// The process-wide configuration: build constants, the bank profile's values and the texts
// formed from them, the server endpoint, the server's reply and the user's install options.
#include <string>
#include <vector>

namespace corlinq {

inline constexpr const char kDefaultRequestPath[] = "/assist/server?reqtype=1&data=";

struct AppConfig {
  int bankId = 0;
  std::string familyWord;
  std::string legacyProductKey;
  std::string serverBase;
  std::vector<std::string> serverList;
  std::string serverSuffix;
  std::string requestPath;

  std::string assistantExeName;    // WebUI_%03x.exe
  std::string uninstallerExeName;  // uninst_%03x.exe
  std::string downloaderExeName;   // corlinq_%03x.exe

  int iconId = 0;
  int queryImageId = 0;
  int welcomeImageId = 0;
  int optionsImageId = 0;
  int progressImageA = 0;
  int progressImageB = 0;
  int updateImageId = 0;
  int reinstallImageId = 0;

  std::string downloaderTitle;  // <name>网银助手下载器
  std::string productName;      // <name>网银助手
  std::string installSubfolder;  // <name>网上银行安全组件\<name>网银助手
  std::string registryVendor;    // never set: the install record key has an empty component

  // Filled later by the launch decision, the version query and the install wizard.
  std::string installDir;
  std::string serverVersion;
  std::string downloadBaseUrl;
  int updateFlag = 0;
  unsigned char optDesktopShortcut = 0;
  unsigned char optStartMenuShortcut = 0;
  unsigned char optQuickLaunch = 0;
  unsigned char optAutoStart = 0;
};

// The single record of the process.
AppConfig& TheAppConfig();

// Fills the profile fields of config for bankId: the row's values (empty when the table has no
// row for it) and every text formed from them. Cannot fail.
void ApplyBankProfile(AppConfig& config, int bankId);
// The same for the process-wide record and the build's bank id.
void ApplyBankProfile();

}  // namespace corlinq
