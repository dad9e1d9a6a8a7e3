#include <windows.h>
// After windows.h:
#include <shellapi.h>
#include <tlhelp32.h>

#include "base/strings.h"
#include "base/win/scoped_handle.h"
#include "base/win/wide.h"
#include "engine/win/win_ports.h"

namespace corlinq::win {
namespace {

// The first process of the snapshot whose image name equals imageName ignoring case; 0 if none.
DWORD FirstProcessNamed(const std::string& imageName) {
  ScopedHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot) return 0;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof(entry);
  const std::wstring wanted = Utf8ToWide(imageName);
  for (BOOL more = Process32FirstW(snapshot.get(), &entry); more; more = Process32NextW(snapshot.get(), &entry)) {
    if (CompareStringOrdinal(entry.szExeFile, -1, wanted.c_str(), -1, TRUE) == CSTR_EQUAL) {
      return entry.th32ProcessID;
    }
  }
  return 0;
}

}  // namespace

uint32_t WinProcessControl::FindProcessByName(const std::string& imageName) { return FirstProcessNamed(imageName); }

WaitOutcome WinProcessControl::TerminateFirst(const std::string& imageName, uint32_t exitCode, uint32_t waitMs) {
  const DWORD id = FirstProcessNamed(imageName);
  if (id == 0) return WaitOutcome::kNotStarted;
  ScopedHandle process(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, id));
  if (!process) return WaitOutcome::kNotStarted;
  if (!TerminateProcess(process.get(), exitCode)) return WaitOutcome::kNotStarted;
  if (waitMs == 0) return WaitOutcome::kStarted;
  return WaitForSingleObject(process.get(), waitMs) == WAIT_OBJECT_0 ? WaitOutcome::kEnded : WaitOutcome::kTimedOut;
}

WaitOutcome WinProcessControl::Start(const std::string& program, const std::string& params, bool hidden,
                                     uint32_t waitMs) {
  const std::wstring file = Utf8ToWide(program);
  const std::wstring parameters = Utf8ToWide(params);
  SHELLEXECUTEINFOW info{};
  info.cbSize = sizeof(info);
  info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI;
  info.lpFile = file.c_str();
  info.lpParameters = parameters.empty() ? nullptr : parameters.c_str();
  info.nShow = hidden ? SW_HIDE : SW_SHOW;
  if (!ShellExecuteExW(&info)) return WaitOutcome::kNotStarted;
  ScopedHandle process(info.hProcess);
  if (waitMs == 0 || !process) return WaitOutcome::kStarted;
  return WaitForSingleObject(process.get(), waitMs) == WAIT_OBJECT_0 ? WaitOutcome::kEnded : WaitOutcome::kTimedOut;
}

std::string WinProcessControl::OwnExecutablePath() {
  std::wstring buffer(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0) return {};
    if (length < buffer.size()) {
      buffer.resize(length);
      return WideToUtf8(buffer);
    }
    buffer.resize(buffer.size() * 2);
  }
}

}  // namespace corlinq::win
