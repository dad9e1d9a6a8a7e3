#include "protocol/http_client.h"

#include <cstring>
#include <utility>

#include "protocol/envelope.h"

namespace corlinq {

const std::vector<std::string>& QueryHeaders() {
  static const std::vector<std::string> headers = {
      "Accept: *,*/*",
      "Accept-Language: zh-cn",
      "Content-Type: application/x-www-form-urlencoded",
      "Accept-Encoding: gzip, deflate",
  };
  return headers;
}

namespace {

// Collects a query reply: the status is not examined; each chunk counts up to its first zero.
class ReplySink final : public HttpResponseSink {
 public:
  BodyAction OnHead(const HttpResponseHead&) override { return BodyAction::kContinue; }
  BodyAction OnBody(const char* data, size_t size) override {
    const void* zero = std::memchr(data, 0, size);
    text_.append(data, zero ? static_cast<size_t>(static_cast<const char*>(zero) - data) : size);
    return BodyAction::kContinue;
  }
  std::string& text() { return text_; }

 private:
  std::string text_;
};

}  // namespace

CHttpClient::CHttpClient(HttpPort& port, std::string agent) : port_(port), agent_(std::move(agent)) {}

CHttpClient::~CHttpClient() { Close(); }

int CHttpClient::Request(const std::string& verb, const std::string& url, std::string& reply) {
  if (verb != "GET") return kNetFailed;
  HttpGetRequest request;
  request.url = url;
  request.agent = agent_;
  request.headers = QueryHeaders();
  request.timeouts = {kQueryTimeoutMs, kQueryTimeoutMs, kQueryTimeoutMs};
  request.chunkSize = kQueryChunkBytes;
  request.maxBodyBytes = kMaxQueryReplyBytes;
  ReplySink sink;
  const int result = port_.Get(request, sink);
  Close();
  if (result == kNetOk) reply = std::move(sink.text());
  return result;
}

int CHttpClient::Get(const std::string& url, std::string& reply) { return Request("GET", url, reply); }

int SendServerRequest(const AppConfig& config, HttpPort& port, TraceSink& trace,
                      const std::string& path, const std::string& data, std::string& reply) {
  CHttpClient client(port, kQueryAgent);
  trace.Trace("strSendData:(" + data + ")");
  std::string envelope;
  if (!SealEnvelopeText(data, envelope)) return 0;

  if (config.serverList.empty()) {
    const std::string url = config.serverBase + config.serverSuffix + path + envelope;
    return client.Get(url, reply) == kNetOk ? 1 : 0;
  }
  for (const std::string& base : config.serverList) {
    const std::string domain = base + config.serverSuffix + path;
    trace.Trace("domain:(" + domain + ")");
    if (client.Get(domain + envelope, reply) == kNetOk) return 1;
  }
  return 0;
}

}  // namespace corlinq
