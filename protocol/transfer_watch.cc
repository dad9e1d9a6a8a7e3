#include "protocol/transfer_watch.h"

namespace corlinq {

using std::chrono::milliseconds;

TransferWatch::TransferWatch(const HttpGetRequest& request, Clock::time_point start)
    : headLimit_(request.timeouts.connectMs && request.timeouts.receiveMs
                     ? milliseconds(uint64_t{request.timeouts.connectMs} + request.timeouts.receiveMs)
                     : milliseconds(0)),
      gapLimit_(milliseconds(request.timeouts.receiveMs)),
      minWindowBytes_(request.lowSpeed.windowMs
                          ? uint64_t{request.lowSpeed.bytesPerSecond} * request.lowSpeed.windowMs / 1000
                          : 0),
      window_(milliseconds(request.lowSpeed.windowMs)),
      abandon_(request.abandon),
      start_(start) {}

void TransferWatch::RequestSent(Clock::time_point now) {
  if (requestSent_) return;
  requestSent_ = true;
  sentAt_ = now;
}

void TransferWatch::HeadReceived(Clock::time_point now) {
  if (headSeen_) return;
  headSeen_ = true;
  bodyStart_ = now;
  lastByte_ = now;
  samples_.emplace_back(now, 0);
}

void TransferWatch::BodyReceived(uint64_t bytes, Clock::time_point now) {
  if (!headSeen_) HeadReceived(now);
  received_ += bytes;
  if (bytes > 0) lastByte_ = now;
  Sample(now);
}

void TransferWatch::Sample(Clock::time_point now) {
  if (minWindowBytes_ == 0) return;
  if (samples_.empty() || now - samples_.back().first >= window_ / 16) samples_.emplace_back(now, received_);
  // Keep the latest sample that is at least a window old at the front.
  while (samples_.size() > 1 && now - samples_[1].first >= window_) samples_.pop_front();
}

TransferWatch::Verdict TransferWatch::Check(Clock::time_point now) {
  if (verdict_ != Verdict::kGoOn) return verdict_;
  if (abandon_ && abandon_->load()) return verdict_ = Verdict::kAbandoned;
  if (!headSeen_) {
    if (headLimit_.count() > 0 && now - start_ >= headLimit_) verdict_ = Verdict::kTimedOut;
    if (requestSent_ && gapLimit_.count() > 0 && now - sentAt_ >= gapLimit_) verdict_ = Verdict::kTimedOut;
    return verdict_;
  }
  if (gapLimit_.count() > 0 && now - lastByte_ >= gapLimit_) return verdict_ = Verdict::kTimedOut;
  if (minWindowBytes_ > 0) {
    Sample(now);
    const auto& [then, bytesThen] = samples_.front();
    if (now - then >= window_ && received_ - bytesThen < minWindowBytes_) verdict_ = Verdict::kTooSlow;
  }
  return verdict_;
}

}  // namespace corlinq
