#pragma once
// serverip.dat: an optional three-line file in the working directory that overrides the server
// address (line 1), the text placed after it (line 2, a ":port" for example) and the request
// path (line 3).
#include <string>

#include "config/app_config.h"

namespace corlinq {

inline constexpr const char kServerConfigFile[] = "serverip.dat";

// Applies the file at path to config. A file that cannot be opened leaves serverBase as the
// profile set it, with the default request path and no suffix, and gives true. A file of fewer
// than three lines gives false and changes nothing.
[[nodiscard]] bool ReadServerConfig(AppConfig& config, const std::string& path = kServerConfigFile);

}  // namespace corlinq
