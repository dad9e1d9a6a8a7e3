// Test-only: runs phase A of start-up, as the downloader does, against its own folder. Ends with
// exit(0) whether the check passed or the warning console was shown.
#include <windows.h>

#include <cstdlib>

#include "manifest/win/startup_check_win.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  if (!corlinq::win::RunStartupFolderCheck()) std::exit(0);
  std::exit(0);
}
