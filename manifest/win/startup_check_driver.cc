// Test-only: plays the user in front of the start-up check. Starts the probe in its folder, and
// when a console appears, reads what the screen shows, presses a key and waits for the probe's
// end.
//   startup_check_driver PROBE_EXE OUTPUT_FILE
// OUTPUT_FILE receives (UTF-8) "console: <screen text>" and "waited for a key: yes|no", or
// "console: none"; then "exit: <code>".
// Exit code 0 when the probe ended by itself within the time limit, 1 otherwise.
#include <windows.h>

#include <cstdio>
#include <string>

#include "base/win/scoped_handle.h"
#include "base/win/wide.h"

namespace {

using corlinq::win::ScopedHandle;

// Screen text of the console we are attached to, rows joined with line breaks, trailing blanks cut.
std::wstring ReadScreen() {
  ScopedHandle out(CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                               nullptr));
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (!out || !GetConsoleScreenBufferInfo(out.get(), &info)) return std::wstring();
  std::wstring screen;
  for (SHORT row = 0; row <= info.dwCursorPosition.Y; ++row) {
    std::wstring line(static_cast<size_t>(info.dwSize.X), L' ');
    DWORD read = 0;
    ReadConsoleOutputCharacterW(out.get(), line.data(), static_cast<DWORD>(line.size()), {0, row},
                                &read);
    line.resize(read);
    while (!line.empty() && line.back() == L' ') line.pop_back();
    screen += line;
    screen += L"\n";
  }
  return screen;
}

void PressKey() {
  ScopedHandle in(CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                              nullptr));
  INPUT_RECORD keys[2] = {};
  for (int i = 0; i < 2; ++i) {
    keys[i].EventType = KEY_EVENT;
    keys[i].Event.KeyEvent.bKeyDown = i == 0;
    keys[i].Event.KeyEvent.wRepeatCount = 1;
    keys[i].Event.KeyEvent.wVirtualKeyCode = VK_SPACE;
    keys[i].Event.KeyEvent.uChar.UnicodeChar = L' ';
  }
  DWORD written = 0;
  if (in) WriteConsoleInputW(in.get(), keys, 2, &written);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) return 2;
  FreeConsole();  // attaching needs us without a console of our own
  std::wstring probe = argv[1];
  std::wstring folder = probe.substr(0, probe.find_last_of(L"\\/") + 1);
  std::wstring commandLine = L"\"" + probe + L"\"";
  STARTUPINFOW si = {};
  si.cb = sizeof si;
  // Started as from the desktop: no standard handles.
  si.dwFlags = STARTF_USESTDHANDLES;
  PROCESS_INFORMATION pi = {};
  if (!CreateProcessW(probe.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                      folder.c_str(), &si, &pi)) {
    return 2;
  }
  ScopedHandle process(pi.hProcess);
  ScopedHandle thread(pi.hThread);

  std::wstring screen;
  bool sawConsole = false;
  bool waited = false;
  const DWORD start = GetTickCount();
  while (GetTickCount() - start < 30000) {
    if (WaitForSingleObject(process.get(), 0) == WAIT_OBJECT_0) break;
    if (AttachConsole(pi.dwProcessId)) {
      screen = ReadScreen();
      if (screen.find(L"请按任意键继续") != std::wstring::npos) {
        sawConsole = true;
        // The warning stays until a key is pressed.
        waited = WaitForSingleObject(process.get(), 1000) == WAIT_TIMEOUT;
        // Press until the probe ends: a key is one key, but the probe may still be on its way
        // from printing to reading.
        for (int i = 0; i < 40 && WaitForSingleObject(process.get(), 250) != WAIT_OBJECT_0; ++i) {
          PressKey();
        }
        FreeConsole();
        break;
      }
      FreeConsole();
    }
    Sleep(50);
  }
  bool ended = WaitForSingleObject(process.get(), 20000) == WAIT_OBJECT_0;
  if (!ended) TerminateProcess(process.get(), 99);
  DWORD code = 0;
  GetExitCodeProcess(process.get(), &code);

  std::string report = "console: " + (sawConsole ? corlinq::win::WideToUtf8(screen) : "none\n");
  if (sawConsole) report += std::string("waited for a key: ") + (waited ? "yes" : "no") + "\n";
  report += "exit: " + std::to_string(code) + (ended ? "" : " (killed after time-out)") + "\n";
  ScopedHandle file(CreateFileW(argv[2], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
  DWORD written = 0;
  if (file) WriteFile(file.get(), report.data(), static_cast<DWORD>(report.size()), &written, nullptr);
  return ended ? 0 : 1;
}
