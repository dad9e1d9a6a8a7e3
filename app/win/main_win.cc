// Entry point of the downloader. For now it fills the configuration, reads serverip.dat and
// writes its diagnostic lines; the dialogs come on top of this.
#include <windows.h>

#include "app/app_config.h"
#include "app/server_config.h"
#include "base/win/wide.h"

namespace {

void Trace(const std::string& line) { OutputDebugStringW(corlinq::win::Utf8ToWide(line).c_str()); }

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  using namespace corlinq;
  ApplyBankProfile();
  AppConfig& config = TheAppConfig();
  if (!ReadServerConfig(config)) ExitProcess(0);
  Trace("g_downloadpath.ip(" + config.serverBase + ")");
  Trace("g_downloadpath.path(" + config.requestPath + ")");
  Trace("g_downloadpath.port(" + config.serverSuffix + ")");
  Trace(config.serverBase + config.serverSuffix + config.requestPath);
  return 0;
}
