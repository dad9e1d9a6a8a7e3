// The dialog logic against an in-memory dialog: version query states and Retry, the options
// page's folder rules, the progress bar's fill and the progress dialog's cancel.
#include <gtest/gtest.h>

#include <deque>

#include "ui/fake_dialog_view.h"
#include "ui/install_options.h"
#include "ui/skin_rules.h"
#include "ui/version_query_flow.h"

namespace corlinq {
namespace {

using Kind = VersionAnswer::Kind;

AppConfig DemoConfig() {
  AppConfig config;
  ApplyBankProfile(config, 0x867);
  return config;
}

class VersionQueryFlowTest : public ::testing::Test {
 protected:
  VersionQueryFlow MakeFlow() {
    VersionQueryHooks hooks;
    hooks.query = [this] {
      ++queries;
      VersionAnswer a = answers.empty() ? VersionAnswer{} : answers.front();
      if (!answers.empty()) answers.pop_front();
      return a;
    };
    hooks.pause = [this](int ms) { view.log.push_back("pause " + std::to_string(ms)); };
    hooks.runWizard = [this] { view.log.push_back("wizard"); };
    return VersionQueryFlow(view, config, hooks);
  }

  FakeDialogView view;
  AppConfig config = DemoConfig();
  std::deque<VersionAnswer> answers;
  int queries = 0;
};

TEST_F(VersionQueryFlowTest, StatesAfterEachKindOfAnswer) {
  struct Case {
    Kind kind;
    QueryState state;
    const char* status;
    bool retryVisible;
    int endResult;
  };
  const Case cases[] = {
      {Kind::kNoAnswer, QueryState::kNoAnswer, kNoAnswerText, true, -1},
      {Kind::kUnopenable, QueryState::kStalled, kQueryingText, false, -1},
      {Kind::kOk, QueryState::kDone, kQueryingText, false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.kind));
    view = FakeDialogView();
    answers = {{c.kind, "1.2.3.4", "https://127.0.0.1/files"}};
    VersionQueryFlow flow = MakeFlow();
    flow.Begin();
    EXPECT_EQ(flow.RunWorker(), c.state);
    EXPECT_EQ(view.GetText(kQueryStatusId), c.status);
    EXPECT_EQ(view.IsVisible(kRetryButtonId), c.retryVisible);
    EXPECT_EQ(view.endResult, c.endResult);
  }
}

TEST_F(VersionQueryFlowTest, AnswerIsStoredThenWizardRunsHiddenAndDialogEndsAfterIt) {
  config.serverVersion = "old";
  answers = {{Kind::kOk, "2.0.1.7", ""}};
  VersionQueryFlow flow = MakeFlow();
  flow.Begin();
  ASSERT_EQ(flow.RunWorker(), QueryState::kDone);
  EXPECT_EQ(config.serverVersion, "2.0.1.7");
  EXPECT_EQ(config.downloadBaseUrl, "");  // a reply without "url" still opens the wizard
  const std::vector<std::string> tail(view.log.end() - 4, view.log.end());
  EXPECT_EQ(tail, (std::vector<std::string>{"pause 500", "hide", "wizard", "end 0"}));
}

TEST_F(VersionQueryFlowTest, ThreeAttemptsAtMostThenOnlyCancelRemains) {
  VersionQueryFlow flow = MakeFlow();
  flow.Begin();
  EXPECT_EQ(flow.RunWorker(), QueryState::kNoAnswer);
  for (int left = 1; left >= 0; --left) {
    ASSERT_TRUE(view.IsVisible(kRetryButtonId));
    ASSERT_TRUE(flow.OnRetry());
    EXPECT_FALSE(view.IsVisible(kRetryButtonId)) << "Retry hides itself at once";
    EXPECT_FALSE(flow.OnRetry()) << "a second press before the worker ran starts nothing";
    EXPECT_EQ(flow.retryBudget(), left);
    EXPECT_EQ(flow.RunWorker(), QueryState::kNoAnswer);
  }
  EXPECT_EQ(queries, 3);
  EXPECT_EQ(view.GetText(kQueryStatusId), kNoAnswerText);
  EXPECT_FALSE(view.IsVisible(kRetryButtonId));
  EXPECT_FALSE(flow.OnRetry());
}

TEST_F(VersionQueryFlowTest, RetryAfterNoAnswerCanSucceed) {
  answers = {{Kind::kNoAnswer, "", ""}, {Kind::kOk, "1.0.0.1", "https://127.0.0.1/d"}};
  VersionQueryFlow flow = MakeFlow();
  flow.Begin();
  ASSERT_EQ(flow.RunWorker(), QueryState::kNoAnswer);
  ASSERT_TRUE(flow.OnRetry());
  EXPECT_EQ(flow.RunWorker(), QueryState::kDone);
  EXPECT_EQ(config.downloadBaseUrl, "https://127.0.0.1/d");
}

TEST(InstallOptionsTest, PathPieces) {
  struct Case {
    const char* path;
    const char* first;
    const char* collapsed;
  };
  const Case cases[] = {
      {"C:\\Program Files\\x", "C:", "C:\\Program Files\\x"},
      {"C:\\\\bank\\assistant", "C:", "C:\\bank\\assistant"},
      {"D:", "D:", "D:"},
      {"\\\\server\\share", "", "\\server\\share"},
      {"C:\\\\\\x", "C:", "C:\\\\x"},  // pairs from the left, without overlap
      {"relative\\dir", "relative", "relative\\dir"},
      {"", "", ""},
      {"C:\\a\\\\", "C:", "C:\\a\\"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(FirstPathPiece(c.path), c.first) << c.path;
    EXPECT_EQ(CollapseDoubledSeparators(c.path), c.collapsed) << c.path;
  }
}

TEST(InstallOptionsTest, DefaultAndBrowsedFolders) {
  const AppConfig config = DemoConfig();
  EXPECT_EQ(DefaultInstallDir("C:\\Program Files", config),
            "C:\\Program Files\\恒澍银行网上银行安全组件\\恒澍银行网银助手");
  EXPECT_EQ(BrowsedInstallDir("C:\\", config), "C:\\\\恒澍银行网上银行安全组件\\恒澍银行网银助手");
  EXPECT_EQ(ShortcutLabelText(config), "创建恒澍银行网银助手的快捷方式在：");
}

TEST(InstallOptionsTest, EveryBoxHasItsOwnFlag) {
  AppConfig config;
  EXPECT_EQ(OptionFlagFor(config, kDesktopBoxId), &config.optDesktopShortcut);
  EXPECT_EQ(OptionFlagFor(config, kStartMenuBoxId), &config.optStartMenuShortcut);
  EXPECT_EQ(OptionFlagFor(config, kQuickLaunchBoxId), &config.optQuickLaunch);
  EXPECT_EQ(OptionFlagFor(config, kAutoStartBoxId), &config.optAutoStart);
  EXPECT_EQ(OptionFlagFor(config, kInstallDirEditId), nullptr);
  TickAllOptions(config);
  EXPECT_EQ(config.optDesktopShortcut + config.optStartMenuShortcut + config.optQuickLaunch + config.optAutoStart, 4);
}

TEST(InstallOptionsTest, NextAcceptsOrRefusesTheFolder) {
  struct Case {
    const char* name;
    const char* edit;
    bool browser;
    std::deque<Answer> answers;
    int driveType;
    bool createOk;
    NextStep step;
    std::vector<std::string> asked;
    const char* installDir;  // nullptr: left as it was
    const char* created;
    bool browserEnded;
  };
  const Case cases[] = {
      {"fixed drive", "C:\\x\\y", false, {}, 3, true, NextStep::kProceed, {}, "C:\\x\\y", "C:\\x\\y", false},
      {"drive root doubled", "C:\\\\x", false, {}, 3, true, NextStep::kProceed, {}, "C:\\x", "C:\\x", false},
      {"network and unknown pass", "Z:\\x", false, {}, 4, true, NextStep::kProceed, {}, "Z:\\x", "Z:\\x", false},
      {"cd drive", "E:\\x", false, {}, kDriveCdrom, true, NextStep::kStay, {kBadPathText}, nullptr, "", false},
      {"removable", "F:\\x", false, {}, kDriveRemovable, true, NextStep::kStay, {kBadPathText}, nullptr, "", false},
      {"no drive", "foo\\x", false, {}, kDriveNoRootDir, true, NextStep::kStay, {kBadPathText}, nullptr, "", false},
      {"unc path", "\\\\srv\\x", false, {}, 3, true, NextStep::kStay, {kBadPathText}, nullptr, "", false},
      {"creation fails", "C:\\x", false, {}, 3, false, NextStep::kStay, {kBadPathText}, "C:\\x", "C:\\x", false},
      {"browser kept", "C:\\x", true, {Answer::kNo}, 3, true, NextStep::kStay, {kCloseBrowserQuestion}, nullptr, "", false},
      {"browser ended", "C:\\x", true, {Answer::kYes}, 3, true, NextStep::kProceed, {kCloseBrowserQuestion}, "C:\\x", "C:\\x", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeDialogView view;
    view.texts[kInstallDirEditId] = c.edit;
    view.answers = c.answers;
    AppConfig config = DemoConfig();
    config.installDir = "before";
    std::string created;
    std::string drivePiece;
    bool ended = false;
    OptionPageHooks hooks;
    hooks.browserRunning = [&] { return c.browser; };
    hooks.endBrowser = [&] { ended = true; };
    hooks.driveType = [&](const std::string& piece) {
      drivePiece = piece;
      return c.driveType;
    };
    hooks.createDirectoryPath = [&](const std::string& dir) {
      created = dir;
      return c.createOk;
    };
    EXPECT_EQ(OnOptionsNext(view, config, hooks), c.step);
    std::vector<std::string> asked;
    for (const auto& q : view.questions) {
      asked.push_back(q.text);
      EXPECT_EQ(q.caption, config.downloaderTitle);
    }
    EXPECT_EQ(asked, c.asked);
    EXPECT_EQ(config.installDir, c.installDir ? c.installDir : "before");
    EXPECT_EQ(created, c.created);
    EXPECT_EQ(ended, c.browserEnded);
    EXPECT_EQ(view.GetText(kInstallDirEditId), c.edit) << "the edit box keeps the user's text";
  }
}

TEST(SkinRulesTest, ProgressFill) {
  struct Case {
    int width, lower, upper, pos, fill;
  };
  const Case cases[] = {
      {210, 0, 100, 0, 0},       {210, 0, 100, 100, 210}, {210, 0, 100, 50, 105},
      {210, 0, 3, 1, 70},        {211, 0, 3, 2, 140},     {210, 0, 0, 0, 0},  // empty range: track only
      {210, 5, 5, 5, 0},         {210, 0, 100, 150, 210},  // past the end: never beyond the bar
      {210, 10, 0, 5, 0},        {0, 0, 10, 5, 0},
      {318, 0, 1000000, 999999, 317},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ProgressFillWidth(c.width, c.lower, c.upper, c.pos), c.fill)
        << c.width << " " << c.lower << ".." << c.upper << " @" << c.pos;
  }
}

TEST(SkinRulesTest, PicturesAndPlacement) {
  const AppConfig config = DemoConfig();
  PictureSwap swap = NextProgressPicture(0, config);
  EXPECT_EQ(swap.pictureId, 178);
  swap = NextProgressPicture(swap.toggle, config);
  EXPECT_EQ(swap.pictureId, 177);
  EXPECT_EQ(swap.toggle, 0);
  EXPECT_EQ(UpdatePictureId(0, config), 180);
  EXPECT_EQ(UpdatePictureId(1, config), 184);
  EXPECT_EQ(UpdatePictureId(7, config), 184);
  const Origin o = CentredOrigin(1281, 1024, 599, 361);
  EXPECT_EQ(o.x, 640 - 299);
  EXPECT_EQ(o.y, 512 - 180);
}

TEST(SkinRulesTest, CancelAsksOnlyWhileTheWorkerMayChangeThings) {
  struct Case {
    int workerDone;
    std::deque<Answer> answers;
    bool ends;
    size_t asked;
  };
  const Case cases[] = {{0, {Answer::kNo}, false, 1}, {0, {Answer::kYes}, true, 1}, {1, {}, true, 0}};
  for (const Case& c : cases) {
    FakeDialogView view;
    view.answers = c.answers;
    EXPECT_EQ(ConfirmCancelRun(view, c.workerDone, "title"), c.ends);
    ASSERT_EQ(view.questions.size(), c.asked);
    if (c.asked) {
      EXPECT_EQ(view.questions[0].text, kCancelRunQuestion);
      EXPECT_EQ(view.questions[0].buttons, Buttons::kYesNo);
    }
  }
}

}  // namespace
}  // namespace corlinq
