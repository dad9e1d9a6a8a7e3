#pragma once
// Server queries: CHttpClient carries one GET over the HTTP port and returns the body as text;
// SendServerRequest seals the query into the envelope and tries each configured server in turn.
#include <cstdint>
#include <string>
#include <vector>

#include "config/app_config.h"
#include "protocol/http_port.h"
#include "protocol/trace_sink.h"

namespace corlinq {

inline constexpr char kQueryAgent[] =
    "Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.1; SV1; .NET CLR 2.0.50727)";
inline constexpr uint32_t kQueryTimeoutMs = 3000;  // connect, send and receive
inline constexpr size_t kQueryChunkBytes = 1024;
// A reply is a short envelope text; anything longer than this is not one and fails the attempt.
inline constexpr uint64_t kMaxQueryReplyBytes = uint64_t{1} << 20;

// The four request headers of a query, in the order they are added.
[[nodiscard]] const std::vector<std::string>& QueryHeaders();

class CHttpClient {
 public:
  CHttpClient(HttpPort& port, std::string agent);
  virtual ~CHttpClient();
  CHttpClient(const CHttpClient&) = delete;
  CHttpClient& operator=(const CHttpClient&) = delete;

  // One request; only "GET" is carried (queries have no body). 0 success with the body in reply
  // (whatever the status), 1 failure, 2 time-out. reply is unchanged unless the result is 0.
  // The body is read in chunks of 1024 bytes and each chunk is kept up to its first zero byte.
  [[nodiscard]] int Request(const std::string& verb, const std::string& url, std::string& reply);
  [[nodiscard]] int Get(const std::string& url, std::string& reply);
  // Each request opens and closes its own connection, so nothing stays open between requests.
  void Close() {}

 private:
  HttpPort& port_;
  std::string agent_;
};

// Seals data and sends it to config.serverList in order (base + serverSuffix + path + envelope
// text), stopping at the first server that answers; with an empty list, one attempt at
// config.serverBase. 1 when a server answered (its body in reply), 0 otherwise (reply unchanged).
// Traces "strSendData:(" + data + ")" and, for each listed server, "domain:(" + url without
// the envelope + ")".
[[nodiscard]] int SendServerRequest(const AppConfig& config, HttpPort& port, TraceSink& trace,
                                    const std::string& path, const std::string& data,
                                    std::string& reply);

// The same over the process-wide configuration, the platform's HTTP stack and debugger output.
[[nodiscard]] int SendServerRequest(const std::string& path, const std::string& data,
                                    std::string& reply);

}  // namespace corlinq
