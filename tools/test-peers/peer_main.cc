// A stand-in for the assistant or the pop-up notifier, for the Wine-tier tests.
//   <exe>            runs until told to stop (at most two minutes; the environment variable
//                    CORLINQ_PEER_SECONDS sets another limit, 0 for none, e.g. for the demo)
//   <exe> -t         tells a running instance of the same exe name to stop, then exits
// The pop-up notifier stand-ins (exe name beginning with "QzwardPop") also serve the notifier
// pipe, append every message received to a record file (--record PATH, default
// <exe>.messages.txt beside the exe), and with --answer yes|no signal the command's answer event.
//   <exe> --hold PATH  also keeps PATH open without sharing while it runs (a file another program
//                    holds), and records "held" once it does; exit code 2 when PATH cannot be opened.
#include <windows.h>

#include <cwchar>
#include <cwctype>
#include <string>
#include <thread>
#include <vector>

#include "base/win/scoped_handle.h"
#include "base/win/wide.h"
#include "config/build_constants.h"
#include "notifier/popup_link.h"

namespace {

using corlinq::win::ScopedHandle;
using corlinq::win::Utf8ToWide;

std::wstring g_record;
std::wstring g_answer;
std::vector<HANDLE> g_keptEvents;  // kept open so a signal outlives the moment it is set

void Record(const std::string& message) {
  ScopedHandle file(CreateFileW(g_record.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return;
  const std::string line = message + "\n";
  DWORD written = 0;
  (void)WriteFile(file.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}

void Answer(const std::string& message) {
  if (g_answer.empty()) return;
  const std::string stem = corlinq::kPopStem;
  const size_t end = message.find("||");
  if (message.compare(0, stem.size(), stem) != 0 || end == std::string::npos) return;
  const std::string command = message.substr(stem.size(), end - stem.size());
  const std::string name = g_answer == L"yes" ? corlinq::PopupYesEventName(command, corlinq::kFamilyWord)
                                              : corlinq::PopupNoEventName(command, corlinq::kFamilyWord);
  SECURITY_DESCRIPTOR descriptor;
  InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
  SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE);
  SECURITY_ATTRIBUTES attributes{sizeof(attributes), &descriptor, FALSE};
  HANDLE event = CreateEventW(&attributes, FALSE, FALSE, Utf8ToWide(name).c_str());
  if (event == nullptr) return;
  SetEvent(event);
  g_keptEvents.push_back(event);
}

void ServePipe() {
  const std::wstring pipeName = Utf8ToWide(corlinq::PopupPipeName(corlinq::kBankIdText));
  for (;;) {
    ScopedHandle pipe(CreateNamedPipeW(pipeName.c_str(), PIPE_ACCESS_INBOUND, PIPE_TYPE_BYTE | PIPE_WAIT,
                                       PIPE_UNLIMITED_INSTANCES, 0, 4096, 0, nullptr));
    if (!pipe) return;
    if (!ConnectNamedPipe(pipe.get(), nullptr) && GetLastError() != ERROR_PIPE_CONNECTED &&
        GetLastError() != ERROR_NO_DATA) {
      continue;
    }
    std::string message;
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(pipe.get(), buffer, sizeof(buffer), &got, nullptr) && got > 0) message.append(buffer, got);
    DisconnectNamedPipe(pipe.get());
    Record(message);
    Answer(message);
  }
}

std::wstring Lower(std::wstring text) {
  for (wchar_t& c : text) c = static_cast<wchar_t>(std::towlower(c));
  return text;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  wchar_t path[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  const std::wstring full = path;
  const std::wstring exeName = Lower(full.substr(full.find_last_of(L'\\') + 1));
  const std::wstring quitName = L"Local\\corlinq_peer_quit_" + exeName;

  bool stopOther = false;
  std::wstring hold;
  g_record = full + L".messages.txt";
  for (int i = 1; i < argc; ++i) {
    const std::wstring arg = argv[i];
    if (arg == L"-t") stopOther = true;
    if (arg == L"--record" && i + 1 < argc) g_record = argv[++i];
    if (arg == L"--answer" && i + 1 < argc) g_answer = argv[++i];
    if (arg == L"--hold" && i + 1 < argc) hold = argv[++i];
  }
  if (stopOther) {
    ScopedHandle quit(OpenEventW(EVENT_MODIFY_STATE, FALSE, quitName.c_str()));
    if (quit) SetEvent(quit.get());
    return 0;
  }
  ScopedHandle quit(CreateEventW(nullptr, TRUE, FALSE, quitName.c_str()));
  ScopedHandle held;
  if (!hold.empty()) {
    held = ScopedHandle(CreateFileW(hold.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!held) return 2;
    Record("held");
  }
  if (exeName.rfind(L"qzwardpop", 0) == 0) std::thread(ServePipe).detach();
  DWORD limitMs = 120'000;
  wchar_t seconds[16] = {};
  if (GetEnvironmentVariableW(L"CORLINQ_PEER_SECONDS", seconds, 16) > 0 && seconds[0] != L'\0') {
    const unsigned long value = wcstoul(seconds, nullptr, 10);
    limitMs = value == 0 ? INFINITE : static_cast<DWORD>(value > 4'000'000 ? 4'000'000'000UL : value * 1000UL);
  }
  WaitForSingleObject(quit.get(), limitMs);
  ExitProcess(0);
}
