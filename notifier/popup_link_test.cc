#include "notifier/popup_link.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

namespace corlinq {
namespace {

TEST(PopupNames, DefaultBuildTexts) {
  EXPECT_EQ(PopupPipeName("867"), "\\\\.\\pipe\\MOVRA_PopMOVRA867");
  const std::string message = PopupMessage(kUpdatePopCmd, "");
  EXPECT_EQ(message, "MOVRA_PopUpdatePopCmd||");
  EXPECT_EQ(message.size(), 23u);
  EXPECT_EQ(PopupMessage("TimeCmd", "12:00"), "MOVRA_PopTimeCmd||12:00");
  EXPECT_EQ(PopupNoEventName(kUpdatePopCmd, "MOVRA"), "Global\\MOVRA_PopUpdatePopCmdMOVRA_No");
  EXPECT_EQ(PopupYesEventName(kUpdatePopCmd, "MOVRA"), "Global\\MOVRA_PopUpdatePopCmdMOVRA_Yes");
}

class ScriptedLink : public NotifierLink {
 public:
  PipeWrite write = PipeWrite::kWritten;
  AnswerWait answer = AnswerWait::kTimeout;
  std::vector<std::pair<std::string, std::string>> writes;
  std::vector<std::string> waits;

  PipeWrite WriteMessage(const std::string& pipeName, const std::string& message) override {
    writes.emplace_back(pipeName, message);
    return write;
  }
  AnswerWait WaitForAnswer(const std::string& first, const std::string& second, uint32_t timeoutMs) override {
    waits.push_back(first + "|" + second + "|" + std::to_string(timeoutMs));
    return answer;
  }
};

struct SendCase {
  const char* name;
  PipeWrite write;
  AnswerWait answer;
  int32_t resultIfNoListener;
  int32_t waitForAnswer;
  int expected;
  bool waited;
  const char* trace;  // last trace text, "" for none
};

TEST(SendPopupCommand, ResultsAndTraces) {
  const SendCase cases[] = {
      {"no listener, 0", PipeWrite::kNoListener, AnswerWait::kTimeout, 0, 1, 0, false, "No Find qzPop Pipe !!!"},
      {"no listener, 7", PipeWrite::kNoListener, AnswerWait::kTimeout, 7, 1, 1, false, "No Find qzPop Pipe !!!"},
      {"short write", PipeWrite::kShortWrite, AnswerWait::kSecondSignalled, 1, 1, 0, false, ""},
      {"no wait", PipeWrite::kWritten, AnswerWait::kFirstSignalled, 0, 0, 1, false, ""},
      {"no (also both signalled)", PipeWrite::kWritten, AnswerWait::kFirstSignalled, 1, 1, 0, true,
       "User Select No !!!"},
      {"yes", PipeWrite::kWritten, AnswerWait::kSecondSignalled, 0, 1, 1, true, "User Select Yes !!!"},
      {"time-out", PipeWrite::kWritten, AnswerWait::kTimeout, 1, 1, 0, true, "User Select TimeOut !!!"},
      {"error", PipeWrite::kWritten, AnswerWait::kFailed, 1, 1, 0, true, "User Select Error !!!"},
  };
  for (const SendCase& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedLink link;
    link.write = c.write;
    link.answer = c.answer;
    std::vector<std::pair<std::string, std::string>> traces;
    PopupCommand request{"UserConfirmCmd", "x", c.resultIfNoListener, c.waitForAnswer, 5000};
    const int result = SendPopupCommand(link, "867", "MOVRA", request,
                                        [&](const std::string& t, const std::string& a) { traces.emplace_back(t, a); });
    EXPECT_EQ(result, c.expected);
    ASSERT_EQ(link.writes.size(), 1u);
    EXPECT_EQ(link.writes[0].second, "MOVRA_PopUserConfirmCmd||x");
    if (c.waited) {
      ASSERT_EQ(link.waits.size(), 1u);
      EXPECT_EQ(link.waits[0],
                "Global\\MOVRA_PopUserConfirmCmdMOVRA_No|Global\\MOVRA_PopUserConfirmCmdMOVRA_Yes|5000");
    } else {
      EXPECT_TRUE(link.waits.empty());
    }
    if (c.trace[0] == '\0') {
      EXPECT_TRUE(traces.empty());
    } else {
      ASSERT_EQ(traces.size(), 1u);
      EXPECT_EQ(traces[0].first, c.trace);
      EXPECT_EQ(traces[0].second, "MOVRAMOVRA_PopUserConfirmCmd");
    }
  }
}

}  // namespace
}  // namespace corlinq
