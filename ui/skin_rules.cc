#include "ui/skin_rules.h"

namespace corlinq {

int ProgressFillWidth(int clientWidth, int lower, int upper, int position) {
  if (upper <= lower || clientWidth <= 0 || position <= 0) return 0;
  const double width = static_cast<double>(clientWidth) / (static_cast<double>(upper) - lower) * position;
  if (width >= clientWidth) return clientWidth;
  return static_cast<int>(width);
}

PictureSwap NextProgressPicture(int toggle, const AppConfig& config) {
  if (toggle == 0) return {config.progressImageB, 1};
  return {config.progressImageA, 0};
}

int UpdatePictureId(int reinstallMode, const AppConfig& config) {
  return reinstallMode != 0 ? config.reinstallImageId : config.updateImageId;
}

Origin CentredOrigin(int screenWidth, int screenHeight, int width, int height) {
  return {screenWidth / 2 - width / 2, screenHeight / 2 - height / 2};
}

bool ConfirmCancelRun(DialogView& view, int workerDone, const std::string& title) {
  if (workerDone != 0) return true;
  return view.Ask(kCancelRunQuestion, title, Buttons::kYesNo) == Answer::kYes;
}

}  // namespace corlinq
