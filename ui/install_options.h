#pragma once
// The options page's rules: default folder, the check boxes and their flags, and what "下一步"
// accepts as an install folder.
#include <functional>
#include <string>
#include <string_view>

#include "config/app_config.h"
#include "ui/dialog_view.h"

namespace corlinq {

inline constexpr int kShortcutLabelId = 1013;
inline constexpr int kQuickLaunchBoxId = 1014;
inline constexpr int kStartMenuBoxId = 1015;
inline constexpr int kDesktopBoxId = 1016;
inline constexpr int kInstallDirEditId = 1017;
inline constexpr int kAutoStartBoxId = 1031;

inline constexpr char kBrowserImageName[] = "iexplore.exe";
inline constexpr char kCloseBrowserQuestion[] = "安装过程中需关闭IE浏览器，是否继续？";
inline constexpr char kBadPathText[] = "路径不合法";
inline constexpr char kBrowseTitle[] = "选择网银的安装路径:";

// The platform's drive types that refuse a folder (no root, removable, CD-ROM).
inline constexpr int kDriveNoRootDir = 1;
inline constexpr int kDriveRemovable = 2;
inline constexpr int kDriveCdrom = 5;

// "创建" + product name + "的快捷方式在：".
[[nodiscard]] std::string ShortcutLabelText(const AppConfig& config);
// "<Program Files>\<install subfolder>".
[[nodiscard]] std::string DefaultInstallDir(std::string_view programFiles, const AppConfig& config);
// A folder chosen in the folder browser, with the install subfolder below it. A drive root
// ("C:\") gives a doubled separator, which "下一步" removes.
[[nodiscard]] std::string BrowsedInstallDir(std::string_view chosen, const AppConfig& config);

// The option flag a check box sets, or nullptr for any other control.
[[nodiscard]] unsigned char* OptionFlagFor(AppConfig& config, int controlId);
// Every box ticked, every flag 1: the state each new options page starts from.
void TickAllOptions(AppConfig& config);

// The text before the first "\" (the whole text without one, empty when it starts with one).
[[nodiscard]] std::string FirstPathPiece(std::string_view path);
[[nodiscard]] bool IsAcceptedDriveType(int driveType);
// Every "\\" becomes "\", scanning left to right without overlap.
[[nodiscard]] std::string CollapseDoubledSeparators(std::string_view path);

struct OptionPageHooks {
  std::function<bool()> browserRunning;  // a web-browser process runs
  std::function<void()> endBrowser;      // ends the first one found
  // Drive type of the first piece of a path ("C:"); the platform's GetDriveType values.
  std::function<int(const std::string& firstPiece)> driveType;
  // Creates the folder and its missing parents.
  std::function<bool(const std::string& dir)> createDirectoryPath;
};

enum class NextStep { kStay, kProceed };

// "下一步": the browser question, the drive check, the folder stored in installDir and created.
// kProceed when the progress dialog is to run.
[[nodiscard]] NextStep OnOptionsNext(DialogView& view, AppConfig& config, const OptionPageHooks& hooks);

}  // namespace corlinq
