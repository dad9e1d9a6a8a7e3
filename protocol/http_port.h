#pragma once
// The HTTP port: one GET of one URL, the response head and the body in chunks, and a result code.
// HttpPort::Get enforces the contract that every adapter (WinINet on Windows, libcurl natively)
// shares: only http:// and https:// URLs, chunks of at most chunkSize bytes, no body past
// maxBodyBytes or past a declared Content-Length (cut off, the try fails), the sink's verdicts,
// and the result codes below. Adapters only perform the exchange.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace corlinq {

// Results of one network try.
inline constexpr int kNetOk = 0;
inline constexpr int kNetFailed = 1;
inline constexpr int kNetTimedOut = 2;  // the stack's time-out (WinINet error 12002)

inline constexpr uint64_t kDefaultMaxBodyBytes = uint64_t{4} << 30;  // 4 GiB

// Zero leaves the stack's own default (the libcurl adapter then uses 60 s).
struct HttpTimeouts {
  uint32_t connectMs = 0;
  uint32_t sendMs = 0;
  uint32_t receiveMs = 0;
};

// A body that arrives slower than bytesPerSecond over any windowMs (counted from the head) fails
// the try as a time-out. Zero bytesPerSecond: no such rule.
struct HttpLowSpeed {
  uint32_t bytesPerSecond = 0;
  uint32_t windowMs = 0;
};

struct HttpGetRequest {
  std::string url;                   // http:// or https://
  std::string agent;                 // empty: the stack's default agent
  std::vector<std::string> headers;  // "Name: value", each added unless the request has it
  HttpTimeouts timeouts;
  size_t chunkSize = 4096;           // largest piece handed to OnBody (at least 1)
  uint64_t maxBodyBytes = kDefaultMaxBodyBytes;
  HttpLowSpeed lowSpeed;
  // When set and it turns true, the exchange is broken off as soon as the adapter notices
  // (within about a second, even inside a blocking call) and fails.
  const std::atomic<bool>* abandon = nullptr;
};

struct HttpResponseHead {
  int status = 0;
  std::optional<uint64_t> contentLength;  // absent: no Content-Length header (e.g. chunked)
};

// What the receiver wants after a head or a chunk: read on, end the try as a success without
// reading further (kStop), or end it as a failure (kFail).
enum class BodyAction { kContinue, kStop, kFail };

class HttpResponseSink {
 public:
  virtual ~HttpResponseSink() = default;
  // Once per exchange, before any body bytes.
  [[nodiscard]] virtual BodyAction OnHead(const HttpResponseHead& head) = 0;
  [[nodiscard]] virtual BodyAction OnBody(const char* data, size_t size) = 0;
};

class HttpPort {
 public:
  virtual ~HttpPort() = default;

  // One GET. kNetOk when the exchange completed (any status) or the sink stopped it;
  // kNetFailed on a refused URL, a transport error, a contract breach or a sink's kFail;
  // kNetTimedOut when the stack timed out.
  [[nodiscard]] int Get(const HttpGetRequest& request, HttpResponseSink& sink);

  // Drops the URL's entry from the stack's URL cache (WinINet); nothing where there is none.
  virtual void PurgeUrlCache(const std::string& url) { (void)url; }

 protected:
  // Performs the exchange: sink.OnHead once, then OnBody with the body as it arrives (any piece
  // size). Stops reading as soon as the sink answers anything but kContinue. Returns one of the
  // three results; when the sink stopped the exchange the return value is ignored.
  [[nodiscard]] virtual int DoGet(const HttpGetRequest& request, HttpResponseSink& sink) = 0;
};

// True for "http://host..." and "https://host..." (scheme in any case, host not empty).
[[nodiscard]] bool IsHttpUrl(const std::string& url);

// The URL as it goes on the wire: UTF-8 bytes of non-ASCII characters (a manifest's Chinese file
// names), blanks and control characters percent-encoded; everything else as it stands.
[[nodiscard]] std::string EscapeUrlForWire(const std::string& url);

}  // namespace corlinq
