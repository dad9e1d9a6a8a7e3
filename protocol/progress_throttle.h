#pragma once
// Which progress reports of one file reach the dialog. A report goes through only when what the
// customer sees would change (the bar's fill, in pixels, or the percentage text) and the last
// one is at least kProgressReportIntervalMs old; the first report of a file (and of every new
// try) and the one that completes it always go through, so the bars start and end exactly.
// Pure: the caller gives the time.
#include <cstdint>
#include <string>

namespace corlinq {

inline constexpr uint64_t kProgressReportIntervalMs = 50;

// "%.2lf%%" of progress * 100 / progressMax ("37.50%" for 3 of 8); "0.00%" when progressMax is 0.
[[nodiscard]] std::string FormatProgressPercent(uint64_t progress, uint64_t progressMax);

// The fill of a bar barWidth pixels wide at bytes of total (0 when total is 0 or the width is
// unknown), rounded down as the bar paints it.
[[nodiscard]] int ProgressFillPixels(uint64_t bytes, uint64_t total, int barWidth);

class ProgressThrottle {
 public:
  // barWidth: the bar's client width in pixels; 0 when unknown (the text decides alone).
  explicit ProgressThrottle(int barWidth) : barWidth_(barWidth) {}

  // True when the report of bytes of total at nowMs (a monotonic clock) should be shown; the
  // throttle then takes it as shown.
  [[nodiscard]] bool ShouldReport(uint64_t bytes, uint64_t total, uint64_t nowMs);

 private:
  const int barWidth_;
  bool shown_ = false;
  uint64_t bytes_ = 0;
  uint64_t total_ = 0;
  uint64_t atMs_ = 0;
  int fill_ = 0;
  std::string text_;
};

}  // namespace corlinq
