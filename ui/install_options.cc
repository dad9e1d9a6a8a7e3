#include "ui/install_options.h"

namespace corlinq {

std::string ShortcutLabelText(const AppConfig& config) {
  return "创建" + config.productName + "的快捷方式在：";
}

std::string DefaultInstallDir(std::string_view programFiles, const AppConfig& config) {
  return std::string(programFiles) + "\\" + config.installSubfolder;
}

std::string BrowsedInstallDir(std::string_view chosen, const AppConfig& config) {
  return std::string(chosen) + "\\" + config.installSubfolder;
}

unsigned char* OptionFlagFor(AppConfig& config, int controlId) {
  switch (controlId) {
    case kQuickLaunchBoxId: return &config.optQuickLaunch;
    case kStartMenuBoxId: return &config.optStartMenuShortcut;
    case kDesktopBoxId: return &config.optDesktopShortcut;
    case kAutoStartBoxId: return &config.optAutoStart;
    default: return nullptr;
  }
}

void TickAllOptions(AppConfig& config) {
  for (int id : {kStartMenuBoxId, kDesktopBoxId, kAutoStartBoxId, kQuickLaunchBoxId}) {
    *OptionFlagFor(config, id) = 1;
  }
}

std::string FirstPathPiece(std::string_view path) {
  return std::string(path.substr(0, path.find('\\')));
}

bool IsAcceptedDriveType(int driveType) {
  return driveType != kDriveNoRootDir && driveType != kDriveRemovable && driveType != kDriveCdrom;
}

std::string CollapseDoubledSeparators(std::string_view path) {
  std::string out;
  out.reserve(path.size());
  for (size_t i = 0; i < path.size(); ++i) {
    out += path[i];
    if (path[i] == '\\' && i + 1 < path.size() && path[i + 1] == '\\') ++i;
  }
  return out;
}

NextStep OnOptionsNext(DialogView& view, AppConfig& config, const OptionPageHooks& hooks) {
  if (hooks.browserRunning && hooks.browserRunning()) {
    if (view.Ask(kCloseBrowserQuestion, config.downloaderTitle, Buttons::kYesNo) != Answer::kYes) {
      return NextStep::kStay;
    }
    if (hooks.endBrowser) hooks.endBrowser();
  }
  const std::string text = view.GetText(kInstallDirEditId);
  const std::string first = FirstPathPiece(text);
  // A path that names no drive (empty first piece: a UNC or rooted path) is refused outright.
  const int driveType = first.empty() || !hooks.driveType ? kDriveNoRootDir : hooks.driveType(first);
  if (!IsAcceptedDriveType(driveType)) {
    (void)view.Ask(kBadPathText, config.downloaderTitle, Buttons::kOk);
    return NextStep::kStay;
  }
  config.installDir = CollapseDoubledSeparators(text);
  if (!hooks.createDirectoryPath || !hooks.createDirectoryPath(config.installDir)) {
    (void)view.Ask(kBadPathText, config.downloaderTitle, Buttons::kOk);
    return NextStep::kStay;
  }
  return NextStep::kProceed;
}

}  // namespace corlinq
