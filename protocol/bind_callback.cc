#include "protocol/bind_callback.h"

#include <limits>

#include "base/strings.h"

namespace corlinq {

std::string FormatProgressPercent(uint64_t progress, uint64_t progressMax) {
  if (progressMax == 0) return "0.00%";
  return StrPrintf("%.2lf%%", static_cast<double>(progress) * 100.0 / static_cast<double>(progressMax));
}

void CBindCallback::OnProgress(uint64_t progress, uint64_t progressMax) {
  // The bar takes 32-bit values; larger files are shown on a scaled range.
  uint64_t barMax = progressMax;
  uint64_t barPos = progress;
  while (barMax > std::numeric_limits<uint32_t>::max()) {
    barMax >>= 1;
    barPos >>= 1;
  }
  dialog_.SetProgressRange(kFileProgressBarId, static_cast<uint32_t>(barMax));
  dialog_.SetProgressPos(kFileProgressBarId, static_cast<uint32_t>(barPos));
  dialog_.SetText(kFilePercentTextId, FormatProgressPercent(progress, progressMax));
  dialog_.RefreshControl(kFilePercentTextId);
}

}  // namespace corlinq
