#include <csignal>
#include <map>
#include <memory>

#include "protocol/testing/peers.h"
#include "protocol/testing/tls_peer.h"

namespace corlinq::testing {
namespace {

struct Peers {
  std::map<std::string, std::string> urls;
  std::map<std::string, std::unique_ptr<TlsPeer>> running;
};

Peers& State() {
  static Peers peers;
  return peers;
}

}  // namespace

bool EnsurePeers(std::string& error) {
  Peers& peers = State();
  if (!peers.urls.empty()) return true;
  // The peers write to clients that may have given up (a download abandoned mid-body): a write
  // to a closed connection fails, it does not end the test process.
  std::signal(SIGPIPE, SIG_IGN);
  struct PeerSetup {
    const char* name;
    const char* address;
    TlsPeer::Mode mode;
  };
  const PeerSetup setups[] = {{"stall1", "127.0.0.2", TlsPeer::Mode::kMute},
                        {"stall2", "127.0.0.3", TlsPeer::Mode::kStall},
                        {"answer3", "127.0.0.4", TlsPeer::Mode::kAnswer},
                        {"answer4", "127.0.0.3", TlsPeer::Mode::kAnswer},
                        {"files", "127.0.0.4", TlsPeer::Mode::kAnswer}};
  for (const PeerSetup& setup : setups) {
    auto peer = TlsPeer::Start(setup.name, setup.address, setup.mode, &error);
    if (!peer) return false;
    peers.urls[setup.name] = peer->BaseUrl();
    peers.running[setup.name] = std::move(peer);
  }
  peers.urls["refused1"] = ClosedPortUrl("127.0.0.2");
  peers.urls["refused2"] = ClosedPortUrl("127.0.0.3");
  return true;
}

void StopPeers() { State().running.clear(); }

std::string PeerUrl(const std::string& name) { return State().urls[name]; }

}  // namespace corlinq::testing
