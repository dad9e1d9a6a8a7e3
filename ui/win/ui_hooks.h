#pragma once
// What the dialogs need from the rest of the program. Start-up fills these once, before the
// first dialog opens; the dialogs only read them.
#include <functional>
#include <string>

#include "ui/progress_run.h"
#include "ui/version_query_flow.h"

namespace corlinq::win {

struct UiHooks {
  // The version query of CGetInternetDlg's worker (sealed query, servers in turn, reply opened).
  VersionQueryFn queryVersion;
  // Creates the run a CProgressDlg shows (engine record, forced-update notice). A dialog without
  // one shows its controls and nothing runs.
  ProgressRunFactory createRun;
  // FindProcessByName("iexplore.exe") found one / KillProcessByName("iexplore.exe").
  std::function<bool()> browserRunning;
  std::function<void()> endBrowser;
  // Creates a folder and its missing parents; by default our own CreateDirectoryW walk.
  std::function<bool(const std::string& dir)> createDirectoryPath;
  // GetDriveType of a path's first piece ("C:"); by default the platform's.
  std::function<int(const std::string& firstPiece)> driveType;
  // Called on a dialog's thread before the process ends through Cancel of a run or the quit
  // message: breaks off the downloads under way and removes their temporary files.
  std::function<void()> abandonRun;
};

void SetUiHooks(UiHooks hooks);
[[nodiscard]] const UiHooks& TheUiHooks();

// The defaults of the folder hooks, also usable by others.
[[nodiscard]] bool CreateDirectoryTree(const std::string& dir);
[[nodiscard]] int DriveTypeOf(const std::string& firstPiece);

}  // namespace corlinq::win
