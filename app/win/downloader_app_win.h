#pragma once
// The application object. Constructing it (during the static initialisation of the process)
// checks the program's own folder; InitInstance runs the rest of the start-up.
#include <string>

#include "manifest/manifest_xml.h"

namespace corlinq::win {

class CDownloaderApp {
 public:
  // Phase A: the start-up folder check. An unlisted library beside the program shows the warning
  // console and ends the process with exit code 0.
  CDownloaderApp();
  CDownloaderApp(const CDownloaderApp&) = delete;
  CDownloaderApp& operator=(const CDownloaderApp&) = delete;

  // Phase B. Always false: the process ends when it returns.
  [[nodiscard]] bool InitInstance(const std::string& commandLine);

 private:
  ManifestXml manifestDoc_;
};

}  // namespace corlinq::win
