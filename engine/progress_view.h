#pragma once
// The port through which an install run reports its progress: the status line, the Cancel
// button's text, the bars of the current file and of the whole run and their percentage texts.
// The dialog layer implements it (ui/dialog_view.h extends it) and has each call on screen
// before it returns. Its calls are those a download shows its own progress with, so a run hands
// the same view to its file fetcher.
#include "protocol/progress_display.h"

namespace corlinq {

// Controls of the progress dialog the engine writes to.
inline constexpr int kIdCancelButton = 2;
inline constexpr int kIdStatusLine = 1020;
inline constexpr int kIdFileBar = 1021;
inline constexpr int kIdOverallBar = 1022;
inline constexpr int kIdFilePercent = 1023;
inline constexpr int kIdOverallPercent = 1024;

class ProgressView : public ProgressDisplay {};

}  // namespace corlinq
