#include "app/launch_decision.h"

#include <cstdlib>

#include "base/strings.h"
#include "base/version.h"
#include "protocol/version_reply.h"

namespace corlinq {
std::string InstallRecordKeyPath(const AppConfig& config) {
  return "Software\\" + config.registryVendor + "\\Tollwyn\\WebUI\\" + config.familyWord + "\\" +
         StrPrintf("%x", static_cast<unsigned>(config.bankId));
}

int DecideLaunch(AppConfig& config, const std::string& commandLine, LaunchPorts& ports) {
  std::string installedVersion;
  std::string installedPath;
  if (!ports.ReadInstallRecord(InstallRecordKeyPath(config), installedVersion, installedPath)) return 0;

  const std::string query = VersionQueryText(config.bankId);
  std::string reply;
  bool answered = false;
  for (int attempt = 0; attempt < kUpdateAttempts && !answered; ++attempt) {
    answered = ports.SendVersionQuery(query, reply) && !reply.empty();
  }
  if (!answered) ports.ExitNormally();
  ports.Trace("收到加密数据：" + reply);

  VersionReply fields;
  if (!ParseVersionReply(reply, fields)) return 1;
  config.serverVersion = fields.v;
  config.downloadBaseUrl = fields.url;
  config.updateFlag = std::atoi(fields.update.c_str());

  if (config.updateFlag == 0 && commandLine == "-update") return 1;

  VersionParts server{};
  ParseVersion(fields.v, server);
  config.installDir = installedPath;
  VersionParts installed{};
  ParseVersion(installedVersion, installed);

  if (commandLine == "-losefile") {
    uint32_t browser = 0;
    if (ports.FindProcess(kBrowserExe, browser)) {
      if (ports.AskYesNo(kBrowserQuestion, config.productName) == Answer::kNo) return 1;
      ports.TerminateProcessId(browser);
    }
    ports.RunProgressDialog(ProgressMode::Repair);
    return 1;
  }

  const bool older = CompareVersions(installed, server) == -1;
  if (!older && commandLine == "-update") return 1;
  if (config.updateFlag == 1) {
    ports.RunUpdateDialog(older ? 0 : 1);
  } else if (config.updateFlag == 2) {
    ports.KillProcessByName(kBrowserExe);
    ports.RunProgressDialog(ProgressMode::Update);
  }
  return 1;
}

}  // namespace corlinq
