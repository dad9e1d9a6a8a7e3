#pragma once
// Decisions of the skinned dialogs that need no window: progress fill, picture choice,
// placement, and the progress dialog's cancel.
#include <string>

#include "config/app_config.h"
#include "ui/dialog_view.h"

namespace corlinq {

inline constexpr char kConfirmExitText[] = "是否退出网银助手安装？";
inline constexpr char kCancelRunQuestion[] = "下载还未完成，确定取消？";
inline constexpr int kPictureSwapMs = 4000;

// Width of a progress bar's fill: client width / (upper - lower) * position, truncated, kept
// within the bar. An empty or reversed range fills nothing.
[[nodiscard]] int ProgressFillWidth(int clientWidth, int lower, int upper, int position);

// The progress dialog's picture swap: the picture to show next and the new toggle.
struct PictureSwap {
  int pictureId;
  int toggle;
};
[[nodiscard]] PictureSwap NextProgressPicture(int toggle, const AppConfig& config);

// The update dialog's picture: reinstall or update question.
[[nodiscard]] int UpdatePictureId(int reinstallMode, const AppConfig& config);

// Top-left corner that centres a width x height box on the screen.
struct Origin {
  int x;
  int y;
};
[[nodiscard]] Origin CentredOrigin(int screenWidth, int screenHeight, int width, int height);

// Cancel of the progress dialog: asks while the worker may still change things. True when the
// dialog is to end.
[[nodiscard]] bool ConfirmCancelRun(DialogView& view, int workerDone, const std::string& title);

}  // namespace corlinq
