#include "manifest/win/startup_check_win.h"

#include <windows.h>

#include "base/win/scoped_handle.h"
#include "base/win/wide.h"
#include "config/app_config.h"
#include "config/build_constants.h"
#include "manifest/manifest_verify.h"

namespace corlinq::win {
namespace {

void TraceLine(const std::string& line) {
  OutputDebugStringW(Utf8ToWide(line + "\n").c_str());
}

// Waits for one key press on the console input (already flushed before the prompt was shown, so
// a key pressed while reading the text counts); returns when there is no input to wait for.
void WaitForKey(HANDLE in) {
  DWORD mode = 0;
  if (in == INVALID_HANDLE_VALUE || !GetConsoleMode(in, &mode)) return;
  SetConsoleMode(in, mode & ~static_cast<DWORD>(ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT));
  for (;;) {
    INPUT_RECORD record;
    DWORD read = 0;
    if (!ReadConsoleInputW(in, &record, 1, &read) || read == 0) break;
    if (record.EventType != KEY_EVENT || !record.Event.KeyEvent.bKeyDown) continue;
    const WORD key = record.Event.KeyEvent.wVirtualKeyCode;
    if (key == VK_SHIFT || key == VK_CONTROL || key == VK_MENU) continue;
    break;
  }
  SetConsoleMode(in, mode);
}

// True when the process was started with its standard input taken from a file, a pipe or the
// null device: nobody is there to press a key. A program started from the desktop has no
// standard input at all, and one started in a console has the console's input; both wait.
bool InputIsRedirected() {
  HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  if (in == nullptr || in == INVALID_HANDLE_VALUE) return false;
  DWORD mode = 0;
  return !GetConsoleMode(in, &mode);
}

}  // namespace

std::string ProgramFolder() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0) return std::string();
    if (n < path.size()) {
      path.resize(n);
      break;
    }
    if (path.size() >= 32768) return std::string();
    path.resize(path.size() * 2);
  }
  const size_t slash = path.find_last_of(L'\\');
  if (slash == std::wstring::npos) return std::string();
  return WideToUtf8(std::wstring_view(path).substr(0, slash + 1));
}

bool Win32FolderLister::List(const std::string& folder, std::vector<FolderEntry>& out) {
  out.clear();
  std::wstring pattern = Utf8ToWide(folder);
  if (pattern.empty()) return false;
  if (pattern.back() != L'\\' && pattern.back() != L'/') pattern += L'\\';
  pattern += L'*';
  WIN32_FIND_DATAW data;
  ScopedFindHandle find(
      FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &data, FindExSearchNameMatch, nullptr, 0));
  if (!find) return GetLastError() == ERROR_FILE_NOT_FOUND;
  do {
    FolderEntry entry;
    entry.name = WideToUtf8(data.cFileName);
    entry.isDirectory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if (!entry.name.empty()) out.push_back(std::move(entry));
  } while (FindNextFileW(find.get(), &data));
  return true;
}

void ShowWarningConsole(const std::string& text) {
  const bool waitForKey = !InputIsRedirected();
  // A GUI program gets a console of its own; a console program writes into the one it has.
  const bool ownConsole = AllocConsole() != 0;
  {
    ScopedHandle out(CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                                 nullptr));
    ScopedHandle in(CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                                nullptr));
    // Keys pressed before the warning appeared do not dismiss it.
    if (in) FlushConsoleInputBuffer(in.get());
    const std::wstring shown =
        Utf8ToWide(text) + (waitForKey ? L"\r\n请按任意键继续. . . " : L"\r\n");
    DWORD written = 0;
    if (!out || !WriteConsoleW(out.get(), shown.data(), static_cast<DWORD>(shown.size()),
                               &written, nullptr)) {
      // No console screen (output redirected): the text goes to standard output as UTF-8.
      const std::string bytes = text + "\r\n";
      HANDLE std = GetStdHandle(STD_OUTPUT_HANDLE);
      if (std != nullptr && std != INVALID_HANDLE_VALUE) {
        WriteFile(std, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
      }
    }
    if (waitForKey) WaitForKey(in ? in.get() : INVALID_HANDLE_VALUE);
    if (out) {
      const wchar_t newline[] = L"\r\n";
      WriteConsoleW(out.get(), newline, 2, &written, nullptr);
    }
  }
  if (ownConsole) FreeConsole();
}

bool RunStartupFolderCheck(ManifestXml& manifestDoc) {
  const std::string folder = ProgramFolder();
  TheAppConfig().bankId = kBankId;
  Win32FolderLister lister;
  StartupCheckPorts ports{
      lister,
      [](const std::string& path) { return VerifyManifestFile(path, ManifestPublicKey()); },
      TraceLine};
  std::vector<std::string> unexpected;
  if (CheckStartupFolder(folder, kBankId, ports, manifestDoc, unexpected)) return true;
  ShowWarningConsole(StartupWarningText(unexpected.empty() ? std::string() : unexpected.front()));
  return false;
}

bool RunStartupFolderCheck() {
  ManifestXml doc;
  return RunStartupFolderCheck(doc);
}

}  // namespace corlinq::win
