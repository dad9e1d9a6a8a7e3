#pragma once
// The Win32 side of the application's initialisation.
#include <functional>
#include <string>

#include "app/startup.h"

namespace corlinq::win {

// Enables a privilege on a process token. True when AdjustTokenPrivileges reports success.
[[nodiscard]] bool EnableProcessPrivilege(void* process, const wchar_t* privilegeName);

class StartupPortsWin : public StartupPorts {
 public:
  // The launch decision and the version-query dialog come from the layers above.
  StartupPortsWin(std::function<int(const std::string&)> decideLaunch, std::function<void()> runVersionQueryDialog,
                  std::function<void()> resetDialogReferences);

  bool EnableTakeOwnershipPrivilege() override;
  void InitUiFacilities() override;
  void ResetDialogReferences() override;
  unsigned RegisterQuitMessage(const std::string& name) override;
  void ShowInitError(const std::string& text) override;
  void BroadcastQuit(unsigned messageId) override;
  bool CreateInstanceMutex(const std::string& name) override;
  bool ReadServerConfig(AppConfig& config) override;
  void Trace(const std::string& line) override;
  int DecideLaunch(const std::string& commandLine) override;
  void RunVersionQueryDialog() override;
  [[noreturn]] void ExitNormally() override;
  [[noreturn]] void ExitAtOnce() override;

 private:
  std::function<int(const std::string&)> decideLaunch_;
  std::function<void()> runVersionQueryDialog_;
  std::function<void()> resetDialogReferences_;
};

// Writes one line to the debugger output channel.
void TraceLine(const std::string& line);

}  // namespace corlinq::win
