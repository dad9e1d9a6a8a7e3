// The notifier link over a real named pipe and real "Global\" events under Wine, in process.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "base/win/scoped_handle.h"
#include "base/win/wide.h"
#include "notifier/win/notifier_link_win.h"

namespace corlinq::win {
namespace {

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

}  // namespace
}  // namespace corlinq::win
