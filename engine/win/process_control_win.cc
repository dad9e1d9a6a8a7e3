#include <windows.h>
// After windows.h:
#include <shellapi.h>
#include <tlhelp32.h>

#include <algorithm>
#include <set>
#include <vector>

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

// The first process of the snapshot named like one of names, leaving out the ids in skip; 0 if none.
DWORD FirstProcessNamedAny(const std::vector<std::wstring>& names, const std::set<DWORD>& skip) {
  ScopedHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot) return 0;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof(entry);
  for (BOOL more = Process32FirstW(snapshot.get(), &entry); more; more = Process32NextW(snapshot.get(), &entry)) {
    if (skip.count(entry.th32ProcessID) != 0) continue;
    for (const std::wstring& name : names) {
      if (CompareStringOrdinal(entry.szExeFile, -1, name.c_str(), -1, TRUE) == CSTR_EQUAL) return entry.th32ProcessID;
    }
  }
  return 0;
}

}  // namespace

bool WinProcessControl::WaitUntilGone(const std::vector<std::string>& imageNames, uint32_t waitMs) {
  std::vector<std::wstring> names;
  for (const std::string& name : imageNames) names.push_back(Utf8ToWide(name));
  const ULONGLONG deadline = GetTickCount64() + waitMs;
  // Processes seen ended: a snapshot may still list one whose handles others hold.
  std::set<DWORD> ended;
  for (;;) {
    const DWORD id = FirstProcessNamedAny(names, ended);
    if (id == 0) return true;
    const ULONGLONG now = GetTickCount64();
    if (now >= deadline) return false;
    const DWORD left = static_cast<DWORD>(deadline - now);
    ScopedHandle process(OpenProcess(SYNCHRONIZE, FALSE, id));
    if (!process) {
      // Not ours to wait on (or gone meanwhile): look again in a moment.
      Sleep(std::min<DWORD>(left, 20));
      continue;
    }
    if (WaitForSingleObject(process.get(), left) == WAIT_OBJECT_0) ended.insert(id);
  }
}

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
