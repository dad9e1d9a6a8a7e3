#include "app/startup.h"

#include "base/strings.h"
#include "config/build_constants.h"

namespace corlinq {

std::string QuitMessageName(const AppConfig& config) {
  return "qz_detect_tools_single_msgid" + config.familyWord + StrPrintf("_%d", config.bankId);
}

std::string InstanceMutexName(int bankId) {
  // The family word is part of the literal here, not taken from the configuration.
  return "downloader_MOVRA_" + StrPrintf("%03x", static_cast<unsigned>(bankId));
}

void ResetInstallState(AppConfig& config, StartupPorts& ports) {
  ports.ResetDialogReferences();
  config.optDesktopShortcut = 1;
  config.optStartMenuShortcut = 1;
  config.optQuickLaunch = 1;
}

bool InitInstance(AppConfig& config, const std::string& commandLine, StartupPorts& ports) {
  ports.EnableTakeOwnershipPrivilege();
  ports.InitUiFacilities();
  ApplyBankProfile(config, kBankId);
  ResetInstallState(config, ports);

  const unsigned quitMessageId = ports.RegisterQuitMessage(QuitMessageName(config));
  if (quitMessageId == 0) {
    ports.ShowInitError("Can not initialize.");
    return false;
  }
  // Compared whole and case-sensitively: " -t", "-T" or "-t x" are a normal start.
  if (commandLine == "-t") {
    ports.BroadcastQuit(quitMessageId);
    return false;
  }
  if (!ports.CreateInstanceMutex(InstanceMutexName(config.bankId))) ports.ExitNormally();
  if (!ports.ReadServerConfig(config)) ports.ExitAtOnce();

  ports.Trace("g_downloadpath.ip(" + config.serverBase + ")");
  ports.Trace("g_downloadpath.path(" + config.requestPath + ")");
  ports.Trace("g_downloadpath.port(" + config.serverSuffix + ")");
  ports.Trace(config.serverBase + config.serverSuffix + config.requestPath);

  if (ports.DecideLaunch(commandLine) == 0) ports.RunVersionQueryDialog();
  return false;
}

}  // namespace corlinq
