#include "protocol/bind_callback.h"

#include <chrono>
#include <limits>

namespace corlinq {

uint64_t SteadyClockMs() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}

void CBindCallback::OnProgress(uint64_t progress, uint64_t progressMax) {
  if (!throttle_) throttle_.emplace(dialog_.ControlWidth(kFileProgressBarId));
  if (!throttle_->ShouldReport(progress, progressMax, clock_())) return;
  // The bar takes 32-bit values; larger files are shown on a scaled range.
  uint64_t barMax = progressMax;
  uint64_t barPos = progress;
  while (barMax > std::numeric_limits<uint32_t>::max()) {
    barMax >>= 1;
    barPos >>= 1;
  }
  if (shownRange_ != barMax) {
    dialog_.SetProgressRange(kFileProgressBarId, static_cast<uint32_t>(barMax));
    shownRange_ = static_cast<uint32_t>(barMax);
  }
  dialog_.SetProgressPos(kFileProgressBarId, static_cast<uint32_t>(barPos));
  dialog_.SetText(kFilePercentTextId, FormatProgressPercent(progress, progressMax));
  dialog_.RefreshControl(kFilePercentTextId);
  // Inside a batch the completing report waits for the batch's end (which follows the download);
  // every other one is handed on now, so a long download shows its progress as it goes.
  if (progress < progressMax) dialog_.ShowUpdates();
}

}  // namespace corlinq
