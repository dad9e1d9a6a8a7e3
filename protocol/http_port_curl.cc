// The HTTP port over libcurl (native builds). Certificates are accepted unchecked, as the
// Windows adapter does, and the body is passed on undecoded.
#include <curl/curl.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <mutex>

#include "protocol/platform_transport.h"
#include "protocol/transfer_watch.h"

namespace corlinq {
namespace {

constexpr uint32_t kDefaultTimeoutMs = 60000;
constexpr size_t kReceiveBufferBytes = 256 * 1024;

struct EasyFree {
  void operator()(CURL* curl) const { curl_easy_cleanup(curl); }
};
struct SlistFree {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

struct Exchange {
  Exchange(CURL* c, HttpResponseSink& s, const HttpGetRequest& request)
      : curl(c), sink(&s), watch(request, TransferWatch::Clock::now()) {}
  CURL* curl = nullptr;
  HttpResponseSink* sink = nullptr;
  bool headDelivered = false;
  bool sinkStopped = false;
  TransferWatch watch;
  TransferWatch::Verdict verdict = TransferWatch::Verdict::kGoOn;

  // The head is taken once the final response's body starts (redirects are followed first)
  // or, for an empty body, once the exchange ended.
  bool DeliverHead() {
    if (headDelivered) return true;
    headDelivered = true;
    long status = 0;
    curl_off_t length = -1;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    curl_easy_getinfo(curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
    HttpResponseHead head;
    head.status = static_cast<int>(status);
    if (length >= 0) head.contentLength = static_cast<uint64_t>(length);
    if (sink->OnHead(head) != BodyAction::kContinue) sinkStopped = true;
    return !sinkStopped;
  }
};

size_t OnWrite(char* data, size_t size, size_t count, void* user) {
  auto& exchange = *static_cast<Exchange*>(user);
  const size_t bytes = size * count;
  if (!exchange.DeliverHead()) return 0;
  exchange.watch.BodyReceived(bytes, TransferWatch::Clock::now());
  if (bytes > 0 && exchange.sink->OnBody(data, bytes) != BodyAction::kContinue) {
    exchange.sinkStopped = true;
    return 0;
  }
  return bytes;
}

// Called by libcurl at least once a second while the exchange lasts, also while it waits.
int OnTransferInfo(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  auto& exchange = *static_cast<Exchange*>(user);
  const auto now = TransferWatch::Clock::now();
  curl_off_t pretransfer = 0;
  curl_easy_getinfo(exchange.curl, CURLINFO_PRETRANSFER_TIME_T, &pretransfer);
  if (pretransfer > 0) exchange.watch.RequestSent(now);
  exchange.verdict = exchange.watch.Check(now);
  return exchange.verdict == TransferWatch::Verdict::kGoOn ? 0 : 1;
}

// A response head arrived (any, also of a redirect): the head deadline is met.
size_t OnHeader(char*, size_t size, size_t count, void* user) {
  auto& exchange = *static_cast<Exchange*>(user);
  exchange.watch.HeadReceived(TransferWatch::Clock::now());
  return size * count;
}

class CurlHttpPort final : public HttpPort {
 protected:
  int DoGet(const HttpGetRequest& request, HttpResponseSink& sink) override {
    // One easy handle per thread, reset for every exchange: its connection cache keeps the
    // connections of a run alive from one file to the next.
    thread_local std::unique_ptr<CURL, EasyFree> curl(curl_easy_init());
    if (!curl) return kNetFailed;
    curl_easy_reset(curl.get());
    std::unique_ptr<curl_slist, SlistFree> headers;
    for (const std::string& line : request.headers) {
      curl_slist* grown = curl_slist_append(headers.get(), line.c_str());
      if (!grown) return kNetFailed;
      (void)headers.release();
      headers.reset(grown);
    }
    const uint32_t connectMs = request.timeouts.connectMs ? request.timeouts.connectMs : kDefaultTimeoutMs;
    const uint32_t receiveMs = request.timeouts.receiveMs ? request.timeouts.receiveMs : kDefaultTimeoutMs;

    HttpGetRequest bounded = request;
    bounded.timeouts.connectMs = connectMs;
    bounded.timeouts.receiveMs = receiveMs;
    Exchange exchange(curl.get(), sink, bounded);
    CURL* c = curl.get();
    curl_easy_setopt(c, CURLOPT_URL, request.url.c_str());
    curl_easy_setopt(c, CURLOPT_HTTPGET, 1L);
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(c, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(c, CURLOPT_MAXREDIRS, 10L);
    curl_easy_setopt(c, CURLOPT_NOPROXY, "localhost,127.0.0.0/8,::1");
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 0L);
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 0L);
    if (!request.agent.empty()) curl_easy_setopt(c, CURLOPT_USERAGENT, request.agent.c_str());
    if (headers) curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(connectMs));
    curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, &OnTransferInfo);
    curl_easy_setopt(c, CURLOPT_XFERINFODATA, &exchange);
    curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, &OnHeader);
    curl_easy_setopt(c, CURLOPT_HEADERDATA, &exchange);
    // A large receive buffer means fewer, larger reads; the port still hands chunkSize pieces on.
    curl_easy_setopt(c, CURLOPT_BUFFERSIZE, static_cast<long>(std::max<size_t>(request.chunkSize, kReceiveBufferBytes)));
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, &OnWrite);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &exchange);

    const CURLcode code = curl_easy_perform(c);
    if (exchange.sinkStopped) return kNetFailed;  // the contract sink has the verdict
    if (exchange.verdict == TransferWatch::Verdict::kAbandoned) return kNetFailed;
    if (code == CURLE_OPERATION_TIMEDOUT || exchange.verdict != TransferWatch::Verdict::kGoOn) return kNetTimedOut;
    if (code != CURLE_OK) return kNetFailed;
    exchange.DeliverHead();
    return kNetOk;
  }
};

class DiscardTrace final : public TraceSink {
 public:
  void Trace(const std::string&) override {}
};

}  // namespace

HttpPort& PlatformHttpPort() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
  static CurlHttpPort port;
  return port;
}

TraceSink& PlatformTraceSink() {
  static DiscardTrace sink;
  return sink;
}

}  // namespace corlinq
