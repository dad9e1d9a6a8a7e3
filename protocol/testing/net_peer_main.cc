// corlinq_net_peer --ready FILE NAME=ADDRESS:MODE...
// Starts test peers (MODE answer, stall, mute or closed; see tls_peer.h) on loopback addresses, writes "NAME URL"
// lines to FILE once all listen, and serves until SIGTERM or SIGINT.
#include <csignal>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "protocol/testing/tls_peer.h"

using corlinq::testing::TlsPeer;

int main(int argc, char** argv) {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);  // before any peer thread starts

  std::string readyFile;
  std::vector<std::unique_ptr<TlsPeer>> peers;
  std::string lines;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--ready" && i + 1 < argc) {
      readyFile = argv[++i];
      continue;
    }
    const size_t eq = arg.find('=');
    const size_t colon = arg.rfind(':');
    if (eq == std::string::npos || colon == std::string::npos || colon < eq) {
      std::fprintf(stderr, "bad peer description: %s\n", arg.c_str());
      return 2;
    }
    const std::string name = arg.substr(0, eq);
    const std::string address = arg.substr(eq + 1, colon - eq - 1);
    const std::string mode = arg.substr(colon + 1);
    std::string url;
    if (mode == "closed") {
      url = corlinq::testing::ClosedPortUrl(address);
    } else if (mode == "answer" || mode == "stall" || mode == "mute") {
      const TlsPeer::Mode kind = mode == "stall" ? TlsPeer::Mode::kStall
                                 : mode == "mute" ? TlsPeer::Mode::kMute
                                                  : TlsPeer::Mode::kAnswer;
      std::string error;
      auto peer = TlsPeer::Start(name, address, kind, &error);
      if (!peer) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
      }
      url = peer->BaseUrl();
      peers.push_back(std::move(peer));
    } else {
      std::fprintf(stderr, "bad mode: %s\n", mode.c_str());
      return 2;
    }
    lines += name + " " + url + "\n";
  }
  if (readyFile.empty()) {
    std::fputs(lines.c_str(), stdout);
    std::fflush(stdout);
  } else {
    const std::string temp = readyFile + ".tmp";
    std::ofstream(temp) << lines;
    std::rename(temp.c_str(), readyFile.c_str());
  }
  int received = 0;
  sigwait(&signals, &received);
  return 0;
}
