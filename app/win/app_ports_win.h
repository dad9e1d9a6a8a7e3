#pragma once
// The downloader assembled: the real adapters behind the engine's ports, the dialogs' hooks and
// the launch decision's ports, all on the Win32 side.
#include <string>

#include "app/launch_decision.h"
#include "engine/install_engine.h"

namespace corlinq::win {

// The engine's ports with their Win32 adapters; one set for the process.
[[nodiscard]] const EnginePorts& TheEnginePorts();

// Hands the dialogs what they need: the version query, the engine runs, the browser helpers.
void InstallUiHooks();

// Before any dialog: an update that was ended in the middle of its commit is finished (forward
// or back) and stray download files are removed, in the folder the install record names.
void RecoverInstallation(LaunchPorts& ports);

class LaunchPortsWin : public LaunchPorts {
 public:
  bool ReadInstallRecord(const std::string& keyPath, std::string& version, std::string& path) override;
  bool SendVersionQuery(const std::string& queryText, std::string& reply) override;
  bool FindProcess(const std::string& exeName, uint32_t& processId) override;
  void TerminateProcessId(uint32_t processId) override;
  void KillProcessByName(const std::string& exeName) override;
  Answer AskYesNo(const std::string& text, const std::string& caption) override;
  void RunUpdateDialog(int reinstallMode) override;
  void RunProgressDialog(ProgressMode mode) override;
  void Trace(const std::string& text) override;
  [[noreturn]] void ExitNormally() override;
};

}  // namespace corlinq::win
