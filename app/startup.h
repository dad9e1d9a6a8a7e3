#pragma once
// The application's initialisation after the start-up folder check: configuration, the quit
// message, the "-t" switch, one downloader per bank, serverip.dat, and the hand-over to the
// launch decision. The OS effects go through StartupPorts.
#include <string>

#include "config/app_config.h"

namespace corlinq {

class StartupPorts {
 public:
  virtual ~StartupPorts() = default;

  // SeTakeOwnershipPrivilege on the process token; the result is only traced.
  virtual bool EnableTakeOwnershipPrivilege() = 0;
  // Common controls (ICC_WIN95_CLASSES) and the rest of the UI facilities.
  virtual void InitUiFacilities() = 0;
  // Forgets the version-query, wizard and progress dialogs of an earlier start.
  virtual void ResetDialogReferences() = 0;
  // Registers the named window message; 0 on failure.
  [[nodiscard]] virtual unsigned RegisterQuitMessage(const std::string& name) = 0;
  virtual void ShowInitError(const std::string& text) = 0;
  // Posts the quit message with wParam 1 to every top-level window.
  virtual void BroadcastQuit(unsigned messageId) = 0;
  // Creates the named mutex (kept open for the life of the process); false when another
  // process already holds one of that name.
  [[nodiscard]] virtual bool CreateInstanceMutex(const std::string& name) = 0;
  [[nodiscard]] virtual bool ReadServerConfig(AppConfig& config) = 0;
  virtual void Trace(const std::string& line) = 0;
  // Returns 0 when no usable install record exists, 1 otherwise (it did its own work then).
  [[nodiscard]] virtual int DecideLaunch(const std::string& commandLine) = 0;
  // The version-query dialog as the main window, modally.
  virtual void RunVersionQueryDialog() = 0;
  // End the process with exit code 0 and do not return: through the normal runtime exit (static
  // objects destroyed), or at once.
  [[noreturn]] virtual void ExitNormally() = 0;
  [[noreturn]] virtual void ExitAtOnce() = 0;
};

[[nodiscard]] std::string QuitMessageName(const AppConfig& config);
[[nodiscard]] std::string InstanceMutexName(int bankId);

// Options that start-up sets before any dialog runs.
void ResetInstallState(AppConfig& config, StartupPorts& ports);

// The initialisation sequence. Always returns false: every interaction happens in modal dialogs
// opened from here, and the process ends when it returns.
[[nodiscard]] bool InitInstance(AppConfig& config, const std::string& commandLine, StartupPorts& ports);

}  // namespace corlinq
