#include <windows.h>

#include "engine/win/win_ports.h"

namespace corlinq::win {

OsFacts WinOsInfo::Query() {
  OsFacts facts;
  OSVERSIONINFOW version{};
  version.dwOSVersionInfoSize = sizeof(version);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  // The reported version, as a program without a compatibility declaration sees it.
  facts.versionKnown = GetVersionExW(&version) != 0;
#pragma GCC diagnostic pop
  facts.platformId = version.dwPlatformId;
  facts.major = version.dwMajorVersion;
  facts.minor = version.dwMinorVersion;
  SYSTEM_INFO info{};
  GetNativeSystemInfo(&info);
  facts.architecture = info.wProcessorArchitecture;
  return facts;
}

}  // namespace corlinq::win
