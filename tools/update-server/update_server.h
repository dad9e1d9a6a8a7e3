#pragma once
// The bank's reference update server: answers the sealed version query and serves release
// folders (manifests and the assistant's files) over HTTP and HTTPS listeners.
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "protocol/envelope.h"
#include "tools/update-server/update_server_config.h"

namespace httplib {
class Server;
}

namespace corlinq {

struct BoundListener {
  std::string address;
  int port = 0;
  bool tls = false;
};

class UpdateServer {
 public:
  // log receives one line per request (see FormatRequestLogLine); it must outlive the server.
  UpdateServer(UpdateServerConfig config, EnvelopeKey key, std::FILE* log);
  ~UpdateServer();
  UpdateServer(const UpdateServer&) = delete;
  UpdateServer& operator=(const UpdateServer&) = delete;

  // Binds every listener and starts serving on them. False with a reason when a listener
  // cannot be set up (certificate, address in use, ...); nothing keeps running then.
  [[nodiscard]] bool Start(std::string& error);

  // The listeners as bound (port 0 replaced by the port the system picked), in config order.
  const std::vector<BoundListener>& Bound() const { return bound_; }

  // Stops accepting, lets requests under way end, joins every thread. Idempotent.
  void Stop();

 private:
  struct Listener;
  void Serve(Listener& listener);

  UpdateServerConfig config_;
  EnvelopeKey key_;
  std::FILE* log_;
  std::vector<std::unique_ptr<Listener>> listeners_;
  std::vector<BoundListener> bound_;
};

// One log line (without newline):
//   <UTC time, ms> <client ip>:<port> <METHOD> <target> <status> <body bytes> <duration>ms
// e.g. "2026-12-09T23:10:00.123Z 127.0.0.1:53422 GET /release/867/Digest.xml 200 1234 0.812ms".
// Bytes of the target outside printable ASCII (but UTF-8 bytes kept) are written as %XX, and a
// target longer than 256 bytes is cut with "...".
std::string FormatRequestLogLine(const std::string& utcTime, const std::string& clientAddress,
                                 int clientPort, const std::string& method,
                                 const std::string& target, int status, unsigned long long bytes,
                                 double milliseconds);

}  // namespace corlinq
