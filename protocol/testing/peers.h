#pragma once
// The servers the transport integration tests talk to, by name:
//   refused1, refused2  closed ports (127.0.0.2, 127.0.0.3)
//   stall1, stall2      accept and never answer (127.0.0.2, 127.0.0.3). Natively stall1 does
//                       not even complete the TLS handshake; under Wine both complete it and
//                       then stay silent, because Wine's WinINet applies no time-out to the
//                       handshake itself.
//   answer3, answer4    answering peers (127.0.0.4, 127.0.0.3)
//   files               the download routes (127.0.0.4)
// Natively they run inside the test (peers_inprocess.cc); in the Windows build a native peer
// process runs them and the test reads their URLs from CORLINQ_NET_PEERS (peers_external.cc).
#include <string>

namespace corlinq::testing {

// Starts the peers if needed; false (with a reason) when they are not available.
[[nodiscard]] bool EnsurePeers(std::string& error);
// Stops in-process peers (before the process's exit handlers run).
void StopPeers();
// "https://address:port" of the named peer.
[[nodiscard]] std::string PeerUrl(const std::string& name);

}  // namespace corlinq::testing
