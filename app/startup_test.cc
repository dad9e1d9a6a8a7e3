#include "app/startup.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <string>
#include <vector>

namespace corlinq {
namespace {

struct ProcessExit {
  std::string how;
};

// Records every call in order; the exits unwind the test through an exception.
class RecordingPorts : public StartupPorts {
 public:
  std::vector<std::string> calls;
  unsigned quitId = 0xC123;
  bool mutexFree = true;
  bool serverConfigOk = true;
  int launch = 0;

  bool EnableTakeOwnershipPrivilege() override { return Log("privilege"), false; }
  void InitUiFacilities() override { Log("ui"); }
  void ResetDialogReferences() override { Log("reset"); }
  unsigned RegisterQuitMessage(const std::string& name) override { return Log("register " + name), quitId; }
  void ShowInitError(const std::string& text) override { Log("error " + text); }
  void BroadcastQuit(unsigned id) override { Log("broadcast " + std::to_string(id)); }
  bool CreateInstanceMutex(const std::string& name) override { return Log("mutex " + name), mutexFree; }
  bool ReadServerConfig(AppConfig&) override { return Log("serverip"), serverConfigOk; }
  void Trace(const std::string& line) override { Log("trace " + line); }
  int DecideLaunch(const std::string& commandLine) override { return Log("decide " + commandLine), launch; }
  void RunVersionQueryDialog() override { Log("query dialog"); }
  [[noreturn]] void ExitNormally() override { throw ProcessExit{"exit"}; }
  [[noreturn]] void ExitAtOnce() override { throw ProcessExit{"ExitProcess"}; }

 private:
  void Log(std::string call) { calls.push_back(std::move(call)); }
};

std::vector<std::string> RunStart(RecordingPorts& ports, const std::string& commandLine, AppConfig& config,
                                  std::string* exitHow = nullptr) {
  try {
    EXPECT_FALSE(InitInstance(config, commandLine, ports));
  } catch (const ProcessExit& e) {
    if (exitHow) *exitHow = e.how;
  }
  return ports.calls;
}

TEST(InitInstance, NormalStartRunsEveryStepInOrder) {
  RecordingPorts ports;
  AppConfig config;
  config.serverBase = "ignored: the profile sets it";
  const auto calls = RunStart(ports, "", config);
  const std::vector<std::string> expected = {
      "privilege",
      "ui",
      "reset",
      "register qz_detect_tools_single_msgidMOVRA_2151",
      "mutex downloader_MOVRA_867",
      "serverip",
      "trace g_downloadpath.ip(https://localhost)",
      "trace g_downloadpath.path()",
      "trace g_downloadpath.port()",
      "trace https://localhost",
      "decide ",
      "query dialog",
  };
  EXPECT_EQ(calls, expected);
  EXPECT_EQ(config.optDesktopShortcut, 1);
  EXPECT_EQ(config.optStartMenuShortcut, 1);
  EXPECT_EQ(config.optQuickLaunch, 1);
  EXPECT_EQ(config.optAutoStart, 0);
}

TEST(InitInstance, InstalledAssistantOpensNoQueryDialog) {
  RecordingPorts ports;
  ports.launch = 1;
  AppConfig config;
  const auto calls = RunStart(ports, "-update", config);
  EXPECT_EQ(calls.back(), "decide -update");
}

TEST(InitInstance, QuitSwitchBroadcastsAndCreatesNoMutex) {
  RecordingPorts ports;
  AppConfig config;
  const auto calls = RunStart(ports, "-t", config);
  EXPECT_EQ(calls.back(), "broadcast " + std::to_string(0xC123));
  for (const auto& call : calls) EXPECT_EQ(call.rfind("mutex", 0), std::string::npos) << call;
}

TEST(InitInstance, OnlyTheExactSwitchEndsOthers) {
  for (const char* commandLine : {"-T", " -t", "-t ", "-t x", "--t"}) {
    RecordingPorts ports;
    AppConfig config;
    const auto calls = RunStart(ports, commandLine, config);
    EXPECT_EQ(calls.back(), "query dialog") << commandLine;
  }
}

TEST(InitInstance, EndsAtTheFailedStep) {
  struct Case {
    const char* name;
    unsigned quitId;
    bool mutexFree;
    bool serverConfigOk;
    const char* lastCall;
    const char* exitHow;
  } cases[] = {
      {"quit message not registered", 0, true, true, "error Can not initialize.", ""},
      {"another downloader runs", 0xC123, false, true, "mutex downloader_MOVRA_867", "exit"},
      {"serverip.dat too short", 0xC123, true, false, "serverip", "ExitProcess"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    RecordingPorts ports;
    ports.quitId = c.quitId;
    ports.mutexFree = c.mutexFree;
    ports.serverConfigOk = c.serverConfigOk;
    AppConfig config;
    std::string exitHow;
    const auto calls = RunStart(ports, "", config, &exitHow);
    EXPECT_EQ(calls.back(), c.lastCall);
    EXPECT_EQ(exitHow, c.exitHow);
  }
}

TEST(InitInstance, DiagnosticLineFourIsThePlainConcatenation) {
  class WithServerFile : public RecordingPorts {
    bool ReadServerConfig(AppConfig& config) override {
      config.serverBase = "https://localhost";
      config.serverSuffix = ":8443";
      config.requestPath = "/assist/server?reqtype=1&data=";
      return true;
    }
  } ports;
  AppConfig config;
  const auto calls = RunStart(ports, "", config);
  EXPECT_NE(std::find(calls.begin(), calls.end(), "trace https://localhost:8443/assist/server?reqtype=1&data="),
            calls.end());
}

TEST(Names, QuitMessageAndMutexFollowTheBankId) {
  AppConfig config;
  ApplyBankProfile(config, 0x42);
  EXPECT_EQ(QuitMessageName(config), "qz_detect_tools_single_msgidMOVRA_66");
  EXPECT_EQ(InstanceMutexName(0x42), "downloader_MOVRA_042");
  EXPECT_EQ(InstanceMutexName(0x1a2b), "downloader_MOVRA_1a2b");
}

}  // namespace
}  // namespace corlinq
