#include "app/win/downloader_app_win.h"

#include <cstdlib>

#include "app/startup.h"
#include "app/win/app_ports_win.h"
#include "app/win/dll_search_win.h"
#include "app/win/startup_ports_win.h"
#include "config/app_config.h"
#include "manifest/win/startup_check_win.h"
#include "ui/win/dialogs.h"

namespace corlinq::win {

CDownloaderApp::CDownloaderApp() {
  // Already done by the static initialisation; repeated so that the order never depends on it.
  (void)RestrictLibrarySearchToSystem32();
  if (!RunStartupFolderCheck(manifestDoc_)) std::exit(0);
}

bool CDownloaderApp::InitInstance(const std::string& commandLine) {
  InstallUiHooks();
  LaunchPortsWin launchPorts;
  StartupPortsWin ports(
      [&launchPorts](const std::string& line) {
        RecoverInstallation(launchPorts);
        return DecideLaunch(TheAppConfig(), line, launchPorts);
      },
      [] {
        CGetInternetDlg dialog;
        (void)dialog.DoModal(nullptr);
      },
      nullptr);
  return corlinq::InitInstance(TheAppConfig(), commandLine, ports);
}

}  // namespace corlinq::win
