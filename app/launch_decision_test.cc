#include "app/launch_decision.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "protocol/envelope.h"

namespace corlinq {
namespace {

struct ProcessExit {};

std::string SealedReply(const std::string& json) {
  std::string text;
  EXPECT_TRUE(SealEnvelopeText(json, text));
  return text;
}

class FakeLaunchPorts : public LaunchPorts {
 public:
  bool hasRecord = true;
  std::string installedVersion = "2.1.15.1203";
  std::string installedPath = "C:\\Program Files\\Assistant";
  std::vector<std::string> replies;  // one per attempt; missing entries mean no server answered
  bool browserRunning = false;
  Answer answer = Answer::kYes;

  std::vector<std::string> calls;
  int attempts = 0;

  bool ReadInstallRecord(const std::string& keyPath, std::string& version, std::string& path) override {
    calls.push_back("record " + keyPath);
    if (!hasRecord) return false;
    version = installedVersion;
    path = installedPath;
    return true;
  }
  bool SendVersionQuery(const std::string& queryText, std::string& reply) override {
    EXPECT_EQ(queryText, "867");
    const size_t index = static_cast<size_t>(attempts++);
    if (index >= replies.size()) return false;
    reply = replies[index];
    return true;
  }
  bool FindProcess(const std::string& exeName, uint32_t& processId) override {
    calls.push_back("find " + exeName);
    processId = 4242;
    return browserRunning;
  }
  void TerminateProcessId(uint32_t processId) override { calls.push_back("terminate " + std::to_string(processId)); }
  void KillProcessByName(const std::string& exeName) override { calls.push_back("kill " + exeName); }
  Answer AskYesNo(const std::string& text, const std::string& caption) override {
    calls.push_back("ask " + text + " / " + caption);
    return answer;
  }
  void RunUpdateDialog(int reinstallMode) override { calls.push_back("update dialog " + std::to_string(reinstallMode)); }
  void RunProgressDialog(ProgressMode mode) override {
    calls.push_back("progress " + std::to_string(static_cast<int>(mode)));
  }
  void Trace(const std::string&) override {}
  [[noreturn]] void ExitNormally() override { throw ProcessExit{}; }
};

AppConfig DemoConfig() {
  AppConfig config;
  ApplyBankProfile(config, 0x867);
  return config;
}

std::string Reply(const char* version, const char* update) {
  return SealedReply(std::string("{\"v\":\"") + version + "\",\"url\":\"https://localhost:8443/r\",\"update\":\"" +
                     update + "\"}");
}

TEST(DecideLaunch, NoInstallRecordAsksNoServer) {
  FakeLaunchPorts ports;
  ports.hasRecord = false;
  AppConfig config = DemoConfig();
  EXPECT_EQ(DecideLaunch(config, "", ports), 0);
  EXPECT_EQ(ports.attempts, 0);
  EXPECT_EQ(ports.calls, std::vector<std::string>{"record Software\\\\Tollwyn\\WebUI\\MOVRA\\867"});
}

TEST(DecideLaunch, FourAttemptsWithoutAnAnswerEndTheProcess) {
  FakeLaunchPorts ports;
  ports.replies = {"", "", ""};  // three empty bodies, then no server at all
  AppConfig config = DemoConfig();
  EXPECT_THROW((void)DecideLaunch(config, "", ports), ProcessExit);
  EXPECT_EQ(ports.attempts, 4);
}

TEST(DecideLaunch, StopsAtTheFirstNonEmptyReply) {
  FakeLaunchPorts ports;
  ports.replies = {"", Reply("2.1.15.1203", "0")};
  AppConfig config = DemoConfig();
  EXPECT_EQ(DecideLaunch(config, "", ports), 1);
  EXPECT_EQ(ports.attempts, 2);
}

TEST(DecideLaunch, UnopenableOrOddRepliesEndQuietly) {
  const std::string good = Reply("9.0.0.0", "1");
  for (const std::string& body : {std::string("<html>404</html>"), good.substr(0, good.size() - 2),
                                  SealedReply("not json"), SealedReply("[1,2]")}) {
    FakeLaunchPorts ports;
    ports.replies = {body};
    AppConfig config = DemoConfig();
    EXPECT_EQ(DecideLaunch(config, "", ports), 1);
    EXPECT_EQ(ports.calls.size(), 1u) << "nothing after reading the record";
    EXPECT_EQ(config.installDir, "");
  }
  // A trailing newline makes the length odd; the last character is ignored.
  FakeLaunchPorts ports;
  ports.replies = {good + "\n"};
  AppConfig config = DemoConfig();
  EXPECT_EQ(DecideLaunch(config, "", ports), 1);
  EXPECT_EQ(config.serverVersion, "9.0.0.0");
}

// The table of outcomes by command line, update indicator and versions.
TEST(DecideLaunch, OutcomeTable) {
  struct Case {
    const char* commandLine;
    const char* serverVersion;  // installed is 2.1.15.1203
    const char* update;
    bool browserRunning;
    Answer answer;
    std::vector<std::string> after;  // calls after reading the record
  } cases[] = {
      {"-update", "9.0.0.0", "0", false, Answer::kYes, {}},
      {"-update", "9.0.0.0", "1", false, Answer::kYes, {"update dialog 0"}},
      {"-update", "2.1.15.1203", "1", false, Answer::kYes, {}},
      {"-update", "2.1.15.1203", "2", false, Answer::kYes, {}},
      {"", "2.1.15.1204", "1", false, Answer::kYes, {"update dialog 0"}},
      {"", "2.1.15.1203", "1", false, Answer::kYes, {"update dialog 1"}},
      {"", "2.1.9.9999", "1", false, Answer::kYes, {"update dialog 1"}},
      {"", "3.0.0.0", "2", false, Answer::kYes, {"kill iexplore.exe", "progress 1"}},
      {"", "2.1.15.1203", "2", false, Answer::kYes, {"kill iexplore.exe", "progress 1"}},
      {"", "3.0.0.0", "0", false, Answer::kYes, {}},
      {"", "3.0.0.0", "7", false, Answer::kYes, {}},
      {"", "3.0.0.0", "", false, Answer::kYes, {}},
      {"-losefile", "1.0.0.0", "0", false, Answer::kYes, {"find iexplore.exe", "progress 2"}},
      {"-losefile",
       "1.0.0.0",
       "0",
       true,
       Answer::kYes,
       {"find iexplore.exe", "ask 安装过程中需关闭IE浏览器，是否继续？ / 恒澍银行网银助手", "terminate 4242", "progress 2"}},
      {"-losefile",
       "1.0.0.0",
       "0",
       true,
       Answer::kNo,
       {"find iexplore.exe", "ask 安装过程中需关闭IE浏览器，是否继续？ / 恒澍银行网银助手"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.commandLine) + " v" + c.serverVersion + " update " + c.update);
    FakeLaunchPorts ports;
    ports.replies = {Reply(c.serverVersion, c.update)};
    ports.browserRunning = c.browserRunning;
    ports.answer = c.answer;
    AppConfig config = DemoConfig();
    EXPECT_EQ(DecideLaunch(config, c.commandLine, ports), 1);
    const std::vector<std::string> after(ports.calls.begin() + 1, ports.calls.end());
    EXPECT_EQ(after, c.after);
  }
}

TEST(DecideLaunch, StoresTheReplyBeforeAnyDialog) {
  FakeLaunchPorts ports;
  ports.replies = {Reply("3.0.0.0", "1")};
  AppConfig config = DemoConfig();
  EXPECT_EQ(DecideLaunch(config, "", ports), 1);
  EXPECT_EQ(config.serverVersion, "3.0.0.0");
  EXPECT_EQ(config.downloadBaseUrl, "https://localhost:8443/r");
  EXPECT_EQ(config.updateFlag, 1);
  EXPECT_EQ(config.installDir, "C:\\Program Files\\Assistant");
}

TEST(DecideLaunch, UpdateCheckWithNothingOfferedLeavesTheFolderUnset) {
  FakeLaunchPorts ports;
  ports.replies = {Reply("3.0.0.0", "0")};
  AppConfig config = DemoConfig();
  EXPECT_EQ(DecideLaunch(config, "-update", ports), 1);
  EXPECT_EQ(config.installDir, "");
}

}  // namespace
}  // namespace corlinq
