#include <windows.h>
// After windows.h:
#include <objbase.h>

#include <memory>

#include "base/win/wide.h"
#include "engine/win/win_ports.h"

namespace corlinq::win {
namespace {

DWORD WINAPI RunWorker(void* parameter) {
  std::unique_ptr<std::function<void()>> worker(static_cast<std::function<void()>*>(parameter));
  (*worker)();
  return 0;
}

// The window the message box should keep clear of: the process's foreground window, when it is
// one of ours.
thread_local RECT keepClear{};
thread_local bool keepClearSet = false;
thread_local HHOOK placeHook = nullptr;

// Places the message box below the window it must keep clear of, or, where the screen has no
// room below, over its lower half, so the dialog's headline stays in sight.
LRESULT CALLBACK PlaceMessageBox(int code, WPARAM wParam, LPARAM lParam) {
  if (code == HCBT_ACTIVATE && keepClearSet) {
    const HWND box = reinterpret_cast<HWND>(wParam);
    RECT own{};
    MONITORINFO monitor{};
    monitor.cbSize = sizeof(monitor);
    if (GetWindowRect(box, &own) && GetMonitorInfoW(MonitorFromRect(&keepClear, MONITOR_DEFAULTTONEAREST), &monitor)) {
      const LONG width = own.right - own.left;
      const LONG height = own.bottom - own.top;
      LONG x = keepClear.left + ((keepClear.right - keepClear.left) - width) / 2;
      LONG y = keepClear.bottom + 8;
      if (y + height > monitor.rcWork.bottom) y = keepClear.top + (keepClear.bottom - keepClear.top) / 2;
      if (x < monitor.rcWork.left) x = monitor.rcWork.left;
      SetWindowPos(box, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    }
    keepClearSet = false;
  }
  return CallNextHookEx(placeHook, code, wParam, lParam);
}

BOOL CALLBACK FindOwnWindow(HWND window, LPARAM found) {
  DWORD process = 0;
  GetWindowThreadProcessId(window, &process);
  if (process != GetCurrentProcessId() || !IsWindowVisible(window)) return TRUE;
  *reinterpret_cast<HWND*>(found) = window;
  return FALSE;
}

HWND OwnVisibleWindow() {
  HWND found = nullptr;
  EnumWindows(&FindOwnWindow, reinterpret_cast<LPARAM>(&found));
  return found;
}

}  // namespace

void WinHost::Trace(const std::string& text, const std::string& tag) {
  OutputDebugStringW(Utf8ToWide(text + " (" + tag + ")\n").c_str());
}

void WinHost::Sleep(uint32_t ms) { ::Sleep(ms); }

void WinHost::ShowMessage(const std::string& text, const std::string& caption) {
  HWND front = GetForegroundWindow();
  DWORD frontProcess = 0;
  if (front != nullptr) GetWindowThreadProcessId(front, &frontProcess);
  if (frontProcess != GetCurrentProcessId()) front = OwnVisibleWindow();
  keepClearSet = front != nullptr && GetWindowRect(front, &keepClear);
  placeHook = SetWindowsHookExW(WH_CBT, &PlaceMessageBox, nullptr, GetCurrentThreadId());
  MessageBoxW(nullptr, Utf8ToWide(text).c_str(), Utf8ToWide(caption).c_str(), MB_ICONEXCLAMATION | MB_OK);
  if (placeHook != nullptr) UnhookWindowsHookEx(placeHook);
  placeHook = nullptr;
  keepClearSet = false;
}

void WinHost::Exit(int code) { ExitProcess(static_cast<UINT>(code)); }

void WinHost::StartWorker(std::function<void()> worker) {
  auto* owned = new std::function<void()>(std::move(worker));
  HANDLE thread = CreateThread(nullptr, 0, &RunWorker, owned, 0, nullptr);
  if (thread == nullptr) {
    delete owned;
    return;
  }
  CloseHandle(thread);  // never joined
}

// Each successful CoInitialize on a thread is matched by one CoUninitialize there.
thread_local int comEntered = 0;

void WinHost::EnterCom() {
  if (SUCCEEDED(CoInitialize(nullptr))) ++comEntered;
}

void WinHost::LeaveCom() {
  if (comEntered == 0) return;
  --comEntered;
  CoUninitialize();
}

}  // namespace corlinq::win
