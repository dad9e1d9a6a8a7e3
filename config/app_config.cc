#include "config/app_config.h"

#include "base/strings.h"
#include "config/bank_profile.h"
#include "config/build_constants.h"

namespace corlinq {
namespace {

// The display name is kept to 259 bytes, cut at a character boundary so the text stays UTF-8.
std::string BoundedDisplayName(const char* name) {
  std::string text(name);
  constexpr size_t kMaxBytes = 259;
  if (text.size() <= kMaxBytes) return text;
  size_t cut = kMaxBytes;
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
  text.resize(cut);
  return text;
}

}  // namespace

AppConfig& TheAppConfig() {
  static AppConfig config;
  return config;
}

void ApplyBankProfile(AppConfig& config, int bankId) {
  config.legacyProductKey.clear();
  config.bankId = bankId;
  config.familyWord = kFamilyWord;

  std::string displayName;
  const std::string exeSuffix = StrPrintf("_%03x.exe", static_cast<unsigned>(bankId));

  if (const BankProfile* row = FindBankProfile(bankId)) {
    displayName = BoundedDisplayName(row->displayName);
    config.serverBase = row->serverBase;
    if (row->hasServerList()) {
      for (const char* server : row->serverList) config.serverList.emplace_back(server);
    }
    if (row->legacyProductKey[0] != '\0') config.legacyProductKey = row->legacyProductKey;
  }

  config.uninstallerExeName = "uninst" + exeSuffix;
  config.assistantExeName = "WebUI" + exeSuffix;
  config.downloaderExeName = "corlinq" + exeSuffix;

  config.iconId = 181;
  config.queryImageId = 174;
  config.welcomeImageId = 175;
  config.optionsImageId = 176;
  config.progressImageA = 177;
  config.progressImageB = 178;
  config.updateImageId = 180;
  config.reinstallImageId = 184;

  config.downloaderTitle = displayName + "网银助手下载器";
  config.productName = displayName + "网银助手";
  config.installSubfolder = displayName + "网上银行安全组件\\" + displayName + "网银助手";
}

void ApplyBankProfile() { ApplyBankProfile(TheAppConfig(), kBankId); }

}  // namespace corlinq
