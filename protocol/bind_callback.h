#pragma once
// CBindCallback: the download progress sink of the progress dialog. It shows the current file's
// progress on bar 1021 and as a percentage text on label 1023.
#include <cstdint>
#include <string>

#include "protocol/download.h"
#include "ui/dialog_view.h"

namespace corlinq {

inline constexpr int kFileProgressBarId = 1021;
inline constexpr int kFilePercentTextId = 1023;

// "%.2lf%%" of progress * 100 / progressMax ("37.50%" for 3 of 8); "0.00%" when progressMax is 0.
[[nodiscard]] std::string FormatProgressPercent(uint64_t progress, uint64_t progressMax);

class CBindCallback final : public DownloadProgressSink {
 public:
  explicit CBindCallback(DialogView& dialog) : dialog_(dialog) {}
  // Sets the bar's range (again on every chunk) and position, then the percentage text, and
  // repaints the text's background.
  void OnProgress(uint64_t progress, uint64_t progressMax) override;

 private:
  DialogView& dialog_;
};

}  // namespace corlinq
