#include "protocol/http_port.h"

#include <algorithm>

#include "base/strings.h"

namespace corlinq {

bool IsHttpUrl(const std::string& url) {
  const std::string lower = ToLowerAscii(url.substr(0, 8));
  size_t hostStart = 0;
  if (lower.rfind("http://", 0) == 0) {
    hostStart = 7;
  } else if (lower.rfind("https://", 0) == 0) {
    hostStart = 8;
  } else {
    return false;
  }
  if (url.size() <= hostStart) return false;
  const char first = url[hostStart];
  return first != '/' && first != ':' && first != '?' && first != '#';
}

namespace {

// Stands between an adapter and the caller's sink and keeps the port's promises.
class ContractSink final : public HttpResponseSink {
 public:
  ContractSink(const HttpGetRequest& request, HttpResponseSink& inner)
      : chunkSize_(std::max<size_t>(request.chunkSize, 1)),
        maxBody_(request.maxBodyBytes),
        inner_(inner) {}

  BodyAction OnHead(const HttpResponseHead& head) override {
    if (headSeen_) return Verdict(BodyAction::kFail);
    headSeen_ = true;
    contentLength_ = head.contentLength;
    if (contentLength_ && *contentLength_ > maxBody_) return Verdict(BodyAction::kFail);
    return Verdict(inner_.OnHead(head));
  }

  BodyAction OnBody(const char* data, size_t size) override {
    if (!headSeen_ || verdict_ != BodyAction::kContinue) return Verdict(BodyAction::kFail);
    const uint64_t limit = contentLength_ ? std::min(*contentLength_, maxBody_) : maxBody_;
    if (size > limit - received_) return Verdict(BodyAction::kFail);  // cut off, nothing passed on
    while (size > 0) {
      const size_t piece = std::min(size, chunkSize_);
      received_ += piece;
      if (Verdict(inner_.OnBody(data, piece)) != BodyAction::kContinue) return verdict_;
      data += piece;
      size -= piece;
    }
    return BodyAction::kContinue;
  }

  [[nodiscard]] int Result(int adapterResult) const {
    if (verdict_ == BodyAction::kFail) return kNetFailed;
    if (verdict_ == BodyAction::kStop) return kNetOk;
    if (adapterResult == kNetOk) return headSeen_ ? kNetOk : kNetFailed;
    return adapterResult == kNetTimedOut ? kNetTimedOut : kNetFailed;
  }

 private:
  BodyAction Verdict(BodyAction action) {
    if (verdict_ == BodyAction::kContinue) verdict_ = action;
    return verdict_;
  }

  const size_t chunkSize_;
  const uint64_t maxBody_;
  HttpResponseSink& inner_;
  bool headSeen_ = false;
  std::optional<uint64_t> contentLength_;
  uint64_t received_ = 0;
  BodyAction verdict_ = BodyAction::kContinue;
};

}  // namespace

std::string EscapeUrlForWire(const std::string& url) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(url.size());
  for (const char ch : url) {
    const auto byte = static_cast<unsigned char>(ch);
    if (byte >= 0x80 || byte <= 0x20 || byte == 0x7F) {
      out += '%';
      out += kHex[byte >> 4];
      out += kHex[byte & 0x0F];
    } else {
      out += ch;
    }
  }
  return out;
}

int HttpPort::Get(const HttpGetRequest& request, HttpResponseSink& sink) {
  if (!IsHttpUrl(request.url)) return kNetFailed;
  HttpGetRequest wire = request;
  wire.url = EscapeUrlForWire(request.url);
  ContractSink contract(wire, sink);
  const int result = DoGet(wire, contract);
  return contract.Result(result);
}

}  // namespace corlinq
