#pragma once
// The time bounds of one exchange. The response head must come within the connect plus the
// receive time-out of the start (this also bounds a TLS handshake that never ends), no gap
// between body bytes may last longer than the receive time-out, and the body must keep the
// request's low-speed rate over every window. An exchange whose abandon flag is set ends too.
// The watch is bookkeeping over times its caller passes in; the adapters poll it (libcurl's
// progress callback, the WinINet watchdog thread) and break the exchange off when it says so.
#include <chrono>
#include <cstdint>
#include <deque>
#include <utility>

#include "protocol/http_port.h"

namespace corlinq {

class TransferWatch {
 public:
  using Clock = std::chrono::steady_clock;
  enum class Verdict { kGoOn, kTimedOut, kTooSlow, kAbandoned };

  TransferWatch(const HttpGetRequest& request, Clock::time_point start);

  // The connection is up and the request went out (where the stack tells): from now on the
  // head must come within the receive time-out too.
  void RequestSent(Clock::time_point now);
  void HeadReceived(Clock::time_point now);
  // A piece of the body of this many bytes arrived.
  void BodyReceived(uint64_t bytes, Clock::time_point now);
  // What the bounds say at now. Once not kGoOn, it stays so.
  [[nodiscard]] Verdict Check(Clock::time_point now);

 private:
  void Sample(Clock::time_point now);

  const std::chrono::milliseconds headLimit_;  // zero: none
  const std::chrono::milliseconds gapLimit_;   // zero: none
  const uint64_t minWindowBytes_;              // zero: no low-speed rule
  const std::chrono::milliseconds window_;
  const std::atomic<bool>* const abandon_;
  const Clock::time_point start_;
  bool requestSent_ = false;
  Clock::time_point sentAt_{};
  bool headSeen_ = false;
  Clock::time_point bodyStart_{};
  Clock::time_point lastByte_{};
  uint64_t received_ = 0;
  // (time, bytes received by then), oldest first, about window / 16 apart; the front one is the
  // latest that lies at least a window back.
  std::deque<std::pair<Clock::time_point, uint64_t>> samples_;
  Verdict verdict_ = Verdict::kGoOn;
};

}  // namespace corlinq
