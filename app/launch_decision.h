#pragma once
// What to do when the downloader starts: install (the caller runs the version query), ask
// whether to update or reinstall, update without asking, repair, or nothing.
#include <cstdint>
#include <string>

#include "config/app_config.h"
#include "engine/progress_mode.h"
#include "ui/dialog_view.h"

namespace corlinq {

inline constexpr int kUpdateAttempts = 4;
inline constexpr const char kBrowserExe[] = "iexplore.exe";
inline constexpr const char kBrowserQuestion[] = "安装过程中需关闭IE浏览器，是否继续？";

class LaunchPorts {
 public:
  virtual ~LaunchPorts() = default;
  // "Version" and "Path" of the install record under HKEY_LOCAL_MACHINE. False when the key or
  // either value is missing.
  [[nodiscard]] virtual bool ReadInstallRecord(const std::string& keyPath, std::string& version,
                                               std::string& path) = 0;
  // One update-check attempt over the configured servers: true with the body when one answered.
  [[nodiscard]] virtual bool SendVersionQuery(const std::string& queryText, std::string& reply) = 0;
  // The first running process of that exe name, if any.
  [[nodiscard]] virtual bool FindProcess(const std::string& exeName, uint32_t& processId) = 0;
  virtual void TerminateProcessId(uint32_t processId) = 0;
  virtual void KillProcessByName(const std::string& exeName) = 0;
  [[nodiscard]] virtual Answer AskYesNo(const std::string& text, const std::string& caption) = 0;
  // The update dialog (reinstallMode 0 asks to update, 1 to reinstall) as the main window.
  virtual void RunUpdateDialog(int reinstallMode) = 0;
  // The progress dialog (update or repair), modally, with no parent.
  virtual void RunProgressDialog(ProgressMode mode) = 0;
  virtual void Trace(const std::string& text) = 0;
  // Ends the process with exit code 0 through the normal runtime exit.
  [[noreturn]] virtual void ExitNormally() = 0;
};

// "Software\<vendor>\Tollwyn\WebUI\<family>\<bank %x>": the vendor is always empty.
[[nodiscard]] std::string InstallRecordKeyPath(const AppConfig& config);

// 0 when no usable install record exists (the caller then runs the version query), 1 otherwise.
// Ends the process when no server answers the update check.
[[nodiscard]] int DecideLaunch(AppConfig& config, const std::string& commandLine, LaunchPorts& ports);

}  // namespace corlinq
