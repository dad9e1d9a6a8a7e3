#pragma once
// CBindCallback: the download progress sink of the progress dialog. It shows the current file's
// progress on bar 1021 and as a percentage text on label 1023, throttled (progress_throttle.h):
// the dialog hears of a chunk only when what it shows would change, at most every 50 ms, and
// always of the first and the completing chunk of each file.
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "protocol/download.h"
#include "protocol/progress_display.h"
#include "protocol/progress_throttle.h"

namespace corlinq {

inline constexpr int kFileProgressBarId = 1021;
inline constexpr int kFilePercentTextId = 1023;

// Milliseconds of a monotonic clock.
using MonotonicClock = std::function<uint64_t()>;
[[nodiscard]] uint64_t SteadyClockMs();

class CBindCallback final : public DownloadProgressSink {
 public:
  explicit CBindCallback(ProgressDisplay& dialog, MonotonicClock clock = SteadyClockMs)
      : dialog_(dialog), clock_(std::move(clock)) {}
  // When the throttle lets it through: the bar's range (when it changed) and position, then
  // the percentage text, and a repaint of the text's background.
  void OnProgress(uint64_t progress, uint64_t progressMax) override;

 private:
  ProgressDisplay& dialog_;
  MonotonicClock clock_;
  std::optional<ProgressThrottle> throttle_;  // made at the first report (the bar's width)
  std::optional<uint32_t> shownRange_;
};

}  // namespace corlinq
