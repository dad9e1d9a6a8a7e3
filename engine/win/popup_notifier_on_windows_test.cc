// The notifier link against the pop-up notifier stand-in under Wine, started and ended through
// the engine's process control as a run does.
#include <windows.h>

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "base/win/wide.h"
#include "engine/win/win_ports.h"
#include "notifier/win/notifier_link_win.h"

namespace corlinq::win {
namespace {

const std::string kPipe = PopupPipeName("867");

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
