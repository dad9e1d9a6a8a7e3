// Entry point of the downloader.
#include <windows.h>

#include <string>

#include "app/win/downloader_app_win.h"
#include "base/win/wide.h"

namespace {

// The single application object: its constructor runs before wWinMain.
corlinq::win::CDownloaderApp theApp;

// The whole argument text after the program name, as the application receives it.
std::string CommandLineArguments() {
  const wchar_t* line = GetCommandLineW();
  bool quoted = false;
  while (*line != L'\0' && (quoted || (*line != L' ' && *line != L'\t'))) {
    if (*line == L'"') quoted = !quoted;
    ++line;
  }
  while (*line == L' ' || *line == L'\t') ++line;
  return corlinq::win::WideToUtf8(line);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  (void)theApp.InitInstance(CommandLineArguments());
  return 0;
}
