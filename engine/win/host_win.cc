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

}  // namespace

void WinHost::Trace(const std::string& text, const std::string& tag) {
  OutputDebugStringW(Utf8ToWide(text + " (" + tag + ")\n").c_str());
}

void WinHost::Sleep(uint32_t ms) { ::Sleep(ms); }

void WinHost::ShowMessage(const std::string& text, const std::string& caption) {
  MessageBoxW(nullptr, Utf8ToWide(text).c_str(), Utf8ToWide(caption).c_str(), MB_ICONEXCLAMATION | MB_OK);
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
