// Test-only: a library planted beside a program under the name of a system library (crypt32.dll,
// wininet.dll). Mapped into a process, it leaves "<its own path>.ran" beside itself, so a test
// sees whether its code ever ran. It exports the functions the control program imports.
#include <windows.h>

#include <string>

namespace {

void LeaveMarker(HINSTANCE self) {
  wchar_t path[MAX_PATH] = {};
  const DWORD length = GetModuleFileNameW(self, path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH - 8) return;
  const std::wstring marker = std::wstring(path, length) + L".ran";
  HANDLE file = CreateFileW(marker.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) LeaveMarker(self);
  return TRUE;
}

extern "C" __declspec(dllexport) BOOL WINAPI CertCloseStore(void*, DWORD) { return TRUE; }
extern "C" __declspec(dllexport) BOOL WINAPI InternetCloseHandle(void*) { return TRUE; }
