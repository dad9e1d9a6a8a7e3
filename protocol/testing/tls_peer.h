#pragma once
// A scripted HTTPS peer on a loopback address for the transport tests (native only). It uses a
// self-signed certificate made at start-up. Routes (GET):
//   /assist/server...   200 "answer from <name>"        (counted)
//   /_hits              200 the number of counted requests so far
//   /status/<code>      <code> with an HTML body        (counted)
//   /dl/ok/<n>          200, Content-Length n, n pattern bytes (see peer_pattern.h)
//   /dl/short/<n>       Content-Length n, n - 10 bytes, then a clean close
//   /dl/drop/<n>        Content-Length n, n / 2 bytes, then a reset
//   /dl/long/<n>        Content-Length n, n + 100 bytes, then a close
//   /dl/chunked/<n>     chunked transfer of n bytes
//   /dl/noclen/<n>      no Content-Length, n bytes, then a close
//   /dl/stall/<n>       Content-Length n, n / 2 bytes, then nothing until the peer stops
//   /dl/404             404 with a body
// A stalling peer completes the TLS handshake, reads the request and never answers; a mute peer
// accepts connections and never answers at all (not even the TLS handshake).
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

namespace corlinq::testing {

class TlsPeer {
 public:
  enum class Mode { kAnswer, kStall, kMute };
  // Listens on address at a free port. Null (with a reason in error) when it cannot.
  static std::unique_ptr<TlsPeer> Start(const std::string& name, const std::string& address,
                                        Mode mode, std::string* error);
  virtual ~TlsPeer() = default;
  [[nodiscard]] virtual std::string BaseUrl() const = 0;  // "https://address:port"
  [[nodiscard]] virtual int Hits() const = 0;
};

// "https://address:port" for a port on address where nothing listens (connections refused).
[[nodiscard]] std::string ClosedPortUrl(const std::string& address);

}  // namespace corlinq::testing
