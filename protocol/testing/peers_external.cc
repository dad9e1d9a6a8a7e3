#include <cstdlib>
#include <map>
#include <sstream>

#include "protocol/testing/peers.h"

namespace corlinq::testing {
namespace {

std::map<std::string, std::string>& Urls() {
  static std::map<std::string, std::string> urls;
  return urls;
}

}  // namespace

// CORLINQ_NET_PEERS holds "name url" pairs separated by ';'.
bool EnsurePeers(std::string& error) {
  if (!Urls().empty()) return true;
  const char* text = std::getenv("CORLINQ_NET_PEERS");
  if (!text || !*text) {
    error = "CORLINQ_NET_PEERS is not set (the peer process runs from run_wine_net_test.sh)";
    return false;
  }
  std::stringstream list(text);
  std::string entry;
  while (std::getline(list, entry, ';')) {
    const size_t space = entry.find(' ');
    if (space != std::string::npos) Urls()[entry.substr(0, space)] = entry.substr(space + 1);
  }
  return !Urls().empty();
}

void StopPeers() {}

std::string PeerUrl(const std::string& name) { return Urls()[name]; }

}  // namespace corlinq::testing
