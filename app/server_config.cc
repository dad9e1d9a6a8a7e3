#include "app/server_config.h"

#include <fstream>
#include <iterator>

namespace corlinq {

bool ReadServerConfig(AppConfig& config, const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    config.requestPath = kDefaultRequestPath;
    config.serverSuffix.clear();
    return true;
  }
  const std::string content((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());

  // Each line loses its LF or CR LF and nothing else. Reading stops at the end of the file; the
  // last line needs no line break, and an empty line is a line.
  std::string lines[3];
  size_t pos = 0;
  for (std::string& line : lines) {
    if (pos >= content.size()) return false;
    size_t end = content.find('\n', pos);
    if (end == std::string::npos) end = content.size();
    line = content.substr(pos, end - pos);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    pos = end + 1;
  }
  config.serverBase = lines[0];
  config.requestPath = lines[2];
  config.serverSuffix = lines[1];
  return true;
}

}  // namespace corlinq
