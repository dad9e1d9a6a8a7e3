// The notifier link over a real named pipe and real "Global\" events under Wine, in process and
// with the pop-up notifier stand-in.
#include <windows.h>

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "base/win/scoped_handle.h"
#include "base/win/wide.h"
#include "engine/win/win_ports.h"
#include "notifier/win/notifier_link_win.h"

namespace corlinq::win {
namespace {

const std::string kPipe = PopupPipeName("867");

ScopedHandle AnswerEvent(const std::string& name) {
  SECURITY_DESCRIPTOR descriptor;
  InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
  SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE);
  SECURITY_ATTRIBUTES attributes{sizeof(attributes), &descriptor, FALSE};
  return ScopedHandle(CreateEventW(&attributes, FALSE, FALSE, Utf8ToWide(name).c_str()));
}

TEST(WinNotifierLink, NoListener) {
  WinNotifierLink link;
  EXPECT_EQ(link.WriteMessage("\\\\.\\pipe\\corlinq_nobody_here", "x"), PipeWrite::kNoListener);
}

TEST(WinNotifierLink, OneWriteCarriesTheWholeMessage) {
  ScopedHandle server(CreateNamedPipeW(L"\\\\.\\pipe\\corlinq_link_test", PIPE_ACCESS_INBOUND, PIPE_TYPE_BYTE | PIPE_WAIT,
                                       1, 0, 4096, 0, nullptr));
  ASSERT_TRUE(server.valid());
  std::string received;
  std::thread reader([&] {
    // A client that has written and gone already leaves its bytes to read.
    if (!ConnectNamedPipe(server.get(), nullptr) && GetLastError() != ERROR_PIPE_CONNECTED &&
        GetLastError() != ERROR_NO_DATA) {
      return;
    }
    char buffer[256];
    DWORD got = 0;
    while (ReadFile(server.get(), buffer, sizeof(buffer), &got, nullptr) && got > 0) received.append(buffer, got);
  });
  ::Sleep(200);  // the server waits for its client
  WinNotifierLink link;
  EXPECT_EQ(link.WriteMessage("\\\\.\\pipe\\corlinq_link_test", PopupMessage(kUpdatePopCmd, "")), PipeWrite::kWritten);
  reader.join();
  EXPECT_EQ(received, "MOVRA_PopUpdatePopCmd||");
  EXPECT_EQ(received.size(), 23u);
}

TEST(WinNotifierLink, AnswerEvents) {
  const std::string no = PopupNoEventName("TestCmd", "MOVRA");
  const std::string yes = PopupYesEventName("TestCmd", "MOVRA");
  ScopedHandle noEvent = AnswerEvent(no);
  ScopedHandle yesEvent = AnswerEvent(yes);
  ASSERT_TRUE(noEvent.valid() && yesEvent.valid());
  WinNotifierLink link;

  SetEvent(noEvent.get());
  SetEvent(yesEvent.get());
  EXPECT_EQ(link.WaitForAnswer(no, yes, 1000), AnswerWait::kFirstSignalled);  // "No" wins
  EXPECT_EQ(link.WaitForAnswer(no, yes, 1000), AnswerWait::kSecondSignalled);  // auto-reset: "Yes" is left
  EXPECT_EQ(link.WaitForAnswer(no, yes, 100), AnswerWait::kTimeout);
}

TEST(WinNotifierLink, PopupNotifierStandInRecordsAndAnswers) {
  WinFileSystem files;
  WinProcessControl processes;
  std::string peer = "Z:" CORLINQ_TEST_PEERS_DIR "/QzwardPop_867.exe";
  for (char& c : peer) {
    if (c == '/') c = '\\';
  }
  const std::string record = files.TempFolder() + "corlinq_pop_record.txt";
  (void)files.Remove(record);
  ASSERT_EQ(processes.Start(peer, "--answer yes --record \"" + record + "\"", true, 0), WaitOutcome::kStarted);
  bool ready = false;
  for (int i = 0; i < 300 && !ready; ++i) {
    ready = WaitNamedPipeW(Utf8ToWide(kPipe).c_str(), 100) != 0;
    if (!ready) ::Sleep(50);
  }
  ASSERT_TRUE(ready);

  WinNotifierLink link;
  std::vector<std::string> traces;
  const auto trace = [&](const std::string& text, const std::string&) { traces.push_back(text); };
  EXPECT_EQ(SendPopupCommand(link, "867", "MOVRA", PopupCommand{"UserConfirmCmd", "", 0, 1, 10000}, trace), 1);
  EXPECT_EQ(traces, std::vector<std::string>{"User Select Yes !!!"});
  ::Sleep(300);
  EXPECT_EQ(SendPopupCommand(link, "867", "MOVRA", PopupCommand{kUpdatePopCmd, "", 0, 0, 5000}, trace), 1);

  EXPECT_EQ(processes.Start(peer, "-t", true, 20000), WaitOutcome::kEnded);
  ASSERT_TRUE([&] {
    for (int i = 0; i < 300; ++i) {
      if (processes.FindProcessByName("QzwardPop_867.exe") == 0) return true;
      ::Sleep(50);
    }
    return false;
  }());
  std::ifstream in(record, std::ios::binary);
  std::stringstream content;
  content << in.rdbuf();
  EXPECT_EQ(content.str(), "MOVRA_PopUserConfirmCmd||\nMOVRA_PopUpdatePopCmd||\n");
  EXPECT_EQ(SendPopupCommand(link, "867", "MOVRA", PopupCommand{kUpdatePopCmd, "", 0, 0, 5000}, trace), 0);
}

}  // namespace
}  // namespace corlinq::win
