#pragma once
// The Win32 adapters of the engine's ports. Text crosses as UTF-8 and is converted to UTF-16
// for the W functions; every handle is owned by a move-only wrapper.
#include "engine/ports.h"

namespace corlinq::win {

class WinFileSystem : public FileSystem {
 public:
  bool Exists(const std::string& path) override;
  bool IsFolder(const std::string& path) override;
  int CreateFolder(const std::string& path) override;
  std::optional<std::vector<FolderEntry>> List(const std::string& folder) override;
  bool Remove(const std::string& path) override;
  int Copy(const std::string& from, const std::string& to) override;
  bool Move(const std::string& from, const std::string& to) override;
  bool TruncateFile(const std::string& path) override;
  std::optional<std::string> ReadFile(const std::string& path) override;
  // A side file "<path>.new", FlushFileBuffers, MoveFileExW(REPLACE_EXISTING | WRITE_THROUGH).
  bool WriteFileDurably(const std::string& path, const std::string& content) override;
  // FlushFileBuffers on the source, then MoveFileExW(REPLACE_EXISTING | WRITE_THROUGH).
  bool MoveDurably(const std::string& from, const std::string& to) override;
  // CreateFileW for GENERIC_WRITE | DELETE with no sharing.
  bool CanReplace(const std::string& path) override;
  std::optional<std::string> FileDigest(const std::string& path, DigestKind kind) override;
  std::string CurrentFolder() override;
  std::string TempFolder() override;
};

// HKEY_LOCAL_MACHINE with KEY_WOW64_32KEY or KEY_WOW64_64KEY.
class WinRegistry : public Registry {
 public:
  RegistryOpen OpenKey(RegistryView view, const std::string& key) override;
  RegistryOpen CreateKey(RegistryView view, const std::string& key) override;
};

// Toolhelp snapshots, TerminateProcess, ShellExecuteExW.
class WinProcessControl : public ProcessControl {
 public:
  uint32_t FindProcessByName(const std::string& imageName) override;
  WaitOutcome TerminateFirst(const std::string& imageName, uint32_t exitCode, uint32_t waitMs) override;
  WaitOutcome Start(const std::string& program, const std::string& params, bool hidden, uint32_t waitMs) override;
  // Waits on each matching process's handle in turn until none is left or the time is up.
  bool WaitUntilGone(const std::vector<std::string>& imageNames, uint32_t waitMs) override;
  std::string OwnExecutablePath() override;
};

// SHGetFolderPathW, IShellLinkW + IPersistFile, SHChangeNotify. COM must be initialised on the
// calling thread (the engine's host does so).
class WinShell : public Shell {
 public:
  std::optional<std::string> GetFolder(ShellFolder which) override;
  bool CreateLink(const std::string& target, const std::string& linkFile) override;
  void NotifyFolderCreated(const std::string& path) override;
};

// GetVersionExW and GetNativeSystemInfo, without a compatibility declaration.
class WinOsInfo : public OsInfo {
 public:
  OsFacts Query() override;
};

// OutputDebugStringW for traces, Sleep, MessageBoxW, ExitProcess, CreateThread, CoInitialize.
class WinHost : public Host {
 public:
  void Trace(const std::string& text, const std::string& tag) override;
  void Sleep(uint32_t ms) override;
  void ShowMessage(const std::string& text, const std::string& caption) override;
  void Exit(int code) override;
  void StartWorker(std::function<void()> worker) override;
  void EnterCom() override;
  void LeaveCom() override;
};

}  // namespace corlinq::win
