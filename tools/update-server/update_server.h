#pragma once
// The bank's reference update server: answers the sealed version query and serves release
// folders (manifests and the assistant's files) over HTTP and HTTPS listeners.
//
// Built on libmicrohttpd in its event-driven mode (epoll, a pool of threads per listener): a
// connection costs no thread while it waits for a slow client, so clients that trickle their
// requests cannot hold up the others. Every request must bring its headers within a total
// deadline, and each client address may hold a bounded number of connections.
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "protocol/envelope.h"
#include "tools/update-server/update_server_config.h"

namespace corlinq {

// A configuration with everything it names read and checked: the envelope key pairs, the
// certificate files, the release folders.
struct ServerSetup {
  UpdateServerConfig config;
  struct Key {
    std::string file;
    std::shared_ptr<const PreparedEnvelopeKey> key;
    bool shared = false;  // listed in "envelopeKey" (else only some bank's own)
  };
  std::vector<Key> keys;      // the shared keys in their order, then the banks' own
  std::vector<int> bankKey;   // per bank: index in keys of its own pair, or -1
  std::string certificatePem, privateKeyPem;
};

// Reads the configuration file and what it names. False with a one-line reason.
[[nodiscard]] bool LoadServerSetup(const std::string& configPath, ServerSetup& out,
                                   std::string& error);

struct BoundListener {
  std::string address;  // numeric; IPv6 in brackets ("[::1]")
  int port = 0;
  bool tls = false;
};

class UpdateServer {
 public:
  // log receives one line per request (see RequestLogRecord); it must outlive the server.
  UpdateServer(std::shared_ptr<const ServerSetup> setup, std::FILE* log);
  ~UpdateServer();
  UpdateServer(const UpdateServer&) = delete;
  UpdateServer& operator=(const UpdateServer&) = delete;

  // Binds every listener and starts serving on them. False with a reason when a listener
  // cannot be set up (certificate, address in use, ...); nothing keeps running then.
  [[nodiscard]] bool Start(std::string& error);

  // The listeners as bound (port 0 replaced by the port the system picked), in config order; a
  // host name gives one entry per address.
  const std::vector<BoundListener>& Bound() const { return bound_; }

  // Requests from now on use the new setup (banks, keys, proxies, log format); requests under
  // way finish with the old one. Listeners, certificate, threads and limits stay as started.
  void Reload(std::shared_ptr<const ServerSetup> setup);

  // Stops accepting and lets requests under way end (a few seconds at most).
  void Drain();

  // Drains, then closes every connection and joins every thread. Idempotent.
  void Stop();

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
  std::vector<BoundListener> bound_;
};

// What one log line says about a request, or about a connection that never brought one.
struct RequestLogRecord {
  std::string time;    // UTC with milliseconds
  std::string client;  // the client's address (from X-Forwarded-For behind a trusted proxy)
  int port = -1;       // the client's port; -1 when not known (forwarded)
  std::string via;     // "address:port" of the trusted proxy the request came through
  std::string method;  // empty: no request line was read
  std::string target;
  int status = 0;      // 0: no answer was sent
  unsigned long long bytes = 0;
  double milliseconds = 0;
  std::string bank;     // bank id of a version query or file, "%x"
  std::string outcome;  // version, file, health, refused, bad-request, tls-failed, ...
  std::string reason;   // why a request failed, in words
};

// Text line (without newline):
//   <time> <client>:<port> <METHOD> <target> <status> <bytes> <ms>ms[ bank=<id>][ outcome=<o>]
//   [ via=<proxy>][ reason="<text>"]
// e.g. "2026-12-09T23:10:00.123Z 127.0.0.1:53422 GET /release/867/Digest.xml 200 1234 0.812ms
// bank=867 outcome=file". A missing method or target is "-"; an IPv6 client is in brackets.
// The envelope of a version query is shown as "[envelope:N]" (its length), never its text.
// Bytes of the target outside printable ASCII (but UTF-8 bytes kept) are written as %XX, and a
// target longer than 256 bytes is cut with "...". With json, one JSON object with the keys
// time, client, port, via, method, target, status, bytes, ms, bank, outcome, reason (absent
// when empty), every byte outside printable ASCII of the target as %XX.
std::string FormatLogRecord(const RequestLogRecord& record, bool json);

// The text line of a request (the fields above, no bank, outcome or reason).
std::string FormatRequestLogLine(const std::string& utcTime, const std::string& clientAddress,
                                 int clientPort, const std::string& method,
                                 const std::string& target, int status, unsigned long long bytes,
                                 double milliseconds);

}  // namespace corlinq
