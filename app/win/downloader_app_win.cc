#include "app/win/downloader_app_win.h"

#include <cstdlib>

#include "app/app_config.h"
#include "app/startup.h"
#include "app/win/startup_ports_win.h"
#include "manifest/win/startup_check_win.h"

namespace corlinq::win {

CDownloaderApp::CDownloaderApp() {
  if (!RunStartupFolderCheck(manifestDoc_)) std::exit(0);
}

bool CDownloaderApp::InitInstance(const std::string& commandLine) {
  StartupPortsWin ports(nullptr, nullptr, nullptr);
  return corlinq::InitInstance(TheAppConfig(), commandLine, ports);
}

}  // namespace corlinq::win
