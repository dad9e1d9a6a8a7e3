#include "protocol/progress_throttle.h"

#include "base/strings.h"

namespace corlinq {

std::string FormatProgressPercent(uint64_t progress, uint64_t progressMax) {
  if (progressMax == 0) return "0.00%";
  return StrPrintf("%.2lf%%", static_cast<double>(progress) * 100.0 / static_cast<double>(progressMax));
}

int ProgressFillPixels(uint64_t bytes, uint64_t total, int barWidth) {
  if (total == 0 || barWidth <= 0) return 0;
  if (bytes >= total) return barWidth;
  // bytes < total, so the product fits unless the file is beyond 2^64 / width bytes.
  const long double fill = static_cast<long double>(bytes) * barWidth / static_cast<long double>(total);
  return static_cast<int>(fill);
}

bool ProgressThrottle::ShouldReport(uint64_t bytes, uint64_t total, uint64_t nowMs) {
  const int fill = ProgressFillPixels(bytes, total, barWidth_);
  std::string text = FormatProgressPercent(bytes, total);
  // A new file or a new try (the range changed or the count went back), and the end of a file.
  const bool restart = !shown_ || total != total_ || bytes < bytes_;
  const bool completes = total != 0 && bytes == total && bytes_ != total;
  const bool changed = fill != fill_ || text != text_;
  const bool due = nowMs - atMs_ >= kProgressReportIntervalMs;
  if (!restart && !completes && !(changed && due)) return false;
  shown_ = true;
  bytes_ = bytes;
  total_ = total;
  atMs_ = nowMs;
  fill_ = fill;
  text_ = std::move(text);
  return true;
}

}  // namespace corlinq
