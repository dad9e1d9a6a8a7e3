#include "app/win/startup_ports_win.h"

#include <windows.h>
#include <commctrl.h>

#include <cstdlib>

#include "app/server_config.h"
#include "base/win/scoped_handle.h"
#include "base/win/wide.h"
#include "ui/win/dialog.h"

namespace corlinq::win {

bool EnableProcessPrivilege(void* process, const wchar_t* privilegeName) {
  ScopedHandle token;
  if (!OpenProcessToken(static_cast<HANDLE>(process), TOKEN_ALL_ACCESS, token.receive())) return false;
  TOKEN_PRIVILEGES privileges = {};
  privileges.PrivilegeCount = 1;
  if (!LookupPrivilegeValueW(nullptr, privilegeName, &privileges.Privileges[0].Luid)) return false;
  privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
  return AdjustTokenPrivileges(token.get(), FALSE, &privileges, 0, nullptr, nullptr) != FALSE;
}

void TraceLine(const std::string& line) { OutputDebugStringW(Utf8ToWide(line).c_str()); }

StartupPortsWin::StartupPortsWin(std::function<int(const std::string&)> decideLaunch,
                                 std::function<void()> runVersionQueryDialog,
                                 std::function<void()> resetDialogReferences)
    : decideLaunch_(std::move(decideLaunch)),
      runVersionQueryDialog_(std::move(runVersionQueryDialog)),
      resetDialogReferences_(std::move(resetDialogReferences)) {}

bool StartupPortsWin::EnableTakeOwnershipPrivilege() {
  return EnableProcessPrivilege(GetCurrentProcess(), SE_TAKE_OWNERSHIP_NAME);
}

void StartupPortsWin::InitUiFacilities() {
  INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_WIN95_CLASSES};
  InitCommonControlsEx(&controls);
}

void StartupPortsWin::ResetDialogReferences() {
  if (resetDialogReferences_) resetDialogReferences_();
}

unsigned StartupPortsWin::RegisterQuitMessage(const std::string& name) {
  const unsigned id = RegisterWindowMessageW(Utf8ToWide(name).c_str());
  SetQuitMessageId(id);  // every dialog ends the process on this message with wParam 1
  return id;
}

void StartupPortsWin::ShowInitError(const std::string& text) {
  MessageBoxW(nullptr, Utf8ToWide(text).c_str(), L"", MB_ICONERROR);
}

void StartupPortsWin::BroadcastQuit(unsigned messageId) { PostMessageW(HWND_BROADCAST, messageId, 1, 0); }

bool StartupPortsWin::CreateInstanceMutex(const std::string& name) {
  // Never closed: the process's end releases it.
  HANDLE mutex = CreateMutexW(nullptr, FALSE, Utf8ToWide(name).c_str());
  return !(mutex != nullptr && GetLastError() == ERROR_ALREADY_EXISTS);
}

bool StartupPortsWin::ReadServerConfig(AppConfig& config) { return corlinq::ReadServerConfig(config); }

void StartupPortsWin::Trace(const std::string& line) { TraceLine(line); }

int StartupPortsWin::DecideLaunch(const std::string& commandLine) {
  return decideLaunch_ ? decideLaunch_(commandLine) : 0;
}

void StartupPortsWin::RunVersionQueryDialog() {
  if (runVersionQueryDialog_) runVersionQueryDialog_();
}

void StartupPortsWin::ExitNormally() { std::exit(0); }

void StartupPortsWin::ExitAtOnce() { ExitProcess(0); }

}  // namespace corlinq::win
