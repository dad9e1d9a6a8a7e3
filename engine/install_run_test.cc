// A whole run: the order of its steps, where it stops, and how it ends.
#include <gtest/gtest.h>

#include <functional>

#include "engine/engine_fakes.h"

namespace corlinq::testing {
namespace {

const std::vector<ManifestEntry> kCommon = {
    {"", "WebUI_867.exe", Sha("W1")}, {"", "QzwardPop.exe", Sha("P1")}, {"", "QzwardPop_867.exe", Sha("Q1")}};
const std::vector<ManifestEntry> kBank = {{"Plugins", "bank.dll", Sha("B1")}};

// Expects the items in order within the journal, other entries in between allowed.
::testing::AssertionResult InOrder(const Journal& journal, const std::vector<std::string>& items) {
  size_t at = 0;
  for (const std::string& item : items) {
    while (at < journal.size() && journal[at] != item) ++at;
    if (at == journal.size()) {
      std::string dump;
      for (const std::string& line : journal) dump += "  " + line + "\n";
      return ::testing::AssertionFailure() << "missing in order: " << item << "\njournal:\n" << dump;
    }
    ++at;
  }
  return ::testing::AssertionSuccess();
}

bool Contains(const Journal& journal, const std::string& item) {
  return std::find(journal.begin(), journal.end(), item) != journal.end();
}

// A machine with nothing installed and a server publishing both manifests and their files.
void FreshMachine(World& w) {
  w.Publish(ManifestKind::kCommon, "common", kCommon);
  w.Publish(ManifestKind::kBank, "bank", kBank);
  w.ServeFiles(kCommon);
  w.ServeFiles(kBank);
}

struct TestRun {
  InstallRun run;
  void Start(World& w, ProgressMode mode) {
    StartInstallRun(run, w.dialog, w.config, w.ports, mode, w.runtimes,
                    [&w](InstallEngine&) { w.journal.push_back("dialog ready"); });
  }
};

TEST(InstallWorker, InstallRunsEveryStepInOrder) {
  World w;
  FreshMachine(w);
  w.os.facts = {true, 2, 6, 0, 9};  // reports 6.0 on x64: both runtimes checked, neither present
  w.runtimes.x86.sha256Hex = "pin86";
  w.runtimes.x64.sha256Hex = "pin64";
  w.fetcher.served[w.runtimes.x86.url] = FakeFile{"", "", "pin86", true, false};
  w.fetcher.served[w.runtimes.x64.url] = FakeFile{"", "", "not the pinned one", true, false};
  w.processes.running = {"webui_867.exe", "QzwardPop_867.exe"};
  w.config.optAutoStart = 1;
  TestRun r;
  r.Start(w, ProgressMode::Install);

  EXPECT_EQ(r.run.engine->totalSteps, 6);
  EXPECT_EQ(r.run.workerDone, 1);
  EXPECT_EQ(w.host.exits, std::vector<int>{0});
  EXPECT_TRUE(InOrder(w.journal, {
      "mkdir C:\\A",
      "mkdir C:\\A\\Data", "mkdir C:\\A\\Plugins", "mkdir C:\\A\\Script", "mkdir C:\\A\\Tools",
      "mkdir C:\\A\\DownLoad", "mkdir C:\\A\\DownLoad\\Data", "mkdir C:\\A\\DownLoad\\Tools",
      "text 1020 正在下载 配置文件", "download https://127.0.0.1/867/Digest.xml",
      "text 1020 正在下载 配置文件", "download https://127.0.0.1/867/Digest_867.xml",
      "range 1022 6", "pos 1022 0",
      "text 1020 正在下载 vcredist_x86.exe", "text 1024 16.67%", "pos 1022 1",
      "text 1020 正在安装 vcredist_x86.exe", "start C:\\Temp\\vcredist_x86.exe /q",
      "text 1020 正在下载 vcredist_x64.exe", "delete C:\\Temp\\vcredist_x64.exe",
      "text 1020 下载vcredist_x64.exe 失败", "text 2 下载VS库失败",
      "end webui_867.exe",
      "text 1020 正在下载 WebUI_867.exe   2/6", "text 1023 0%", "download https://127.0.0.1/867//WebUI_867.exe",
      "end QzwardPop_867.exe", "download https://127.0.0.1/867//QzwardPop_867.exe",
      "text 1020 正在下载 bank.dll   5/6", "download https://127.0.0.1/867/Plugins/bank.dll",
      "text 1024 83.33%", "pos 1022 5",
      "start C:\\A\\WebUI_867.exe  -t", "start C:\\A\\QzwardPop_867.exe  -t",
      "wait gone WebUI_867.exe,QzwardPop_867.exe 2000",
      "regkey Software\\\\Tollwyn\\WebUI\\MOVRA\\867",
      "regkey SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\恒澍银行网银助手",
      "regkey SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run",
      "text 1020 创建桌面快捷方式", "link C:\\users\\Public\\Desktop\\恒澍银行网银助手.lnk",
      "text 1020 创建快速启动选项",
      "text 1020 完成安装,未装VS库,准备启动助手", "wait gone QzwardPop.exe,WebUI_867.exe 1000",
      "start C:\\A\\QzwardPop.exe -t", "wait gone QzwardPop.exe 500", "start C:\\A\\QzwardPop.exe ",
      "start C:\\A\\WebUI_867.exe -t", "wait gone WebUI_867.exe 500", "start C:\\A\\WebUI_867.exe ",
      "exit 0"}));
  EXPECT_FALSE(Contains(w.journal, "start C:\\Temp\\vcredist_x64.exe /q"));
  // The run waits for programs to end, never a fixed time.
  EXPECT_EQ(w.host.sleeps, std::vector<uint32_t>{});
  EXPECT_EQ(w.journal.back(), "exit 0");
  // A runtime that could not be fetched: the end says so and never "下载完成".
  EXPECT_FALSE(Contains(w.journal, "text 2 下载完成"));
  EXPECT_EQ(w.dialog.texts[kIdCancelButton], "下载VS库失败");
  EXPECT_EQ(w.host.comDepth, 0);
}

// Every early stop is visible: its own text on the status line (a step that writes its own
// leaves it), "下载失败" on the button, an empty file bar, and workerDone 1 so closing asks nothing.
TEST(InstallWorker, StopRules) {
  struct Case {
    const char* name;
    std::function<void(World&)> breakIt;
    const char* status;  // nullptr: the failing step's own text, not checked here
    size_t downloads;
    bool fileStepFailed;
  };
  const Case cases[] = {
      {"step 3: install folder", [](World& w) { w.fs.failCreate.insert("C:\\A"); }, "创建安装目录失败", 0, false},
      {"step 5: manifest download",
       [](World& w) { w.fetcher.failing.insert("https://127.0.0.1/867/Digest_867.xml"); }, "下载配置文件 失败", 2, false},
      {"step 5: manifest signature", [](World& w) { w.manifests.badSignature.insert("bank"); }, "配置文件校验失败", 2,
       false},
      // Signed, but not a manifest once read (the unchecked closing bytes changed): never empty.
      {"step 5: signed manifest that does not load", [](World& w) { w.manifests.documents["bank"] = ManifestLoad{}; },
       "配置文件无效", 2, false},
      {"step 10: common file", [](World& w) { w.fetcher.failing.insert("https://127.0.0.1/867//QzwardPop.exe"); },
       "下载QzwardPop.exe 失败", 4, true},
      {"step 11: bank file", [](World& w) { w.fetcher.failing.insert("https://127.0.0.1/867/Plugins/bank.dll"); },
       "下载bank.dll 失败", 6, true},
      {"step 12: staging folder", [](World& w) { w.fs.failCreate.insert("C:\\A\\DownLoad"); }, "创建下载目录失败", 6,
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    World w;
    FreshMachine(w);
    c.breakIt(w);
    TestRun r;
    r.Start(w, ProgressMode::Install);
    EXPECT_EQ(r.run.workerDone, 1);
    EXPECT_EQ(w.dialog.texts[kIdCancelButton], "下载失败");
    if (c.status) {
      EXPECT_EQ(w.dialog.texts[kIdStatusLine], c.status);
    }
    EXPECT_EQ(w.dialog.positions[kIdFileBar], 0u);
    EXPECT_EQ(w.dialog.texts[kIdFilePercent], "0%");
    EXPECT_EQ(w.fetcher.calls.size(), c.downloads);
    EXPECT_TRUE(w.host.exits.empty());
    EXPECT_TRUE(w.registry.keys.empty());
    EXPECT_TRUE(w.shell.links.empty());
    EXPECT_TRUE(w.processes.starts.empty());
    EXPECT_EQ(w.host.Traced("下载相关文件失败"), c.fileStepFailed);
    EXPECT_FALSE(Contains(w.journal, "text 2 下载完成"));
  }
}

TEST(InstallWorker, NoFilesAndNoRuntimesMeansNoSteps) {
  World w;
  w.Publish(ManifestKind::kCommon, "common", {});
  w.Publish(ManifestKind::kBank, "bank", {});
  TestRun r;
  r.Start(w, ProgressMode::Install);
  EXPECT_EQ(r.run.engine->totalSteps, 0);
  EXPECT_EQ(w.dialog.ranges[kIdOverallBar], 0u);
  EXPECT_TRUE(w.dialog.TextsOf(kIdOverallPercent).empty());
  EXPECT_EQ(w.host.exits, std::vector<int>{0});
  // Neither program file is there: nothing is started, the process still ends.
  EXPECT_TRUE(w.processes.starts.empty());
}

// An earlier installation of kCommon/kBank, staged new manifests from the server.
void InstalledMachine(World& w, const std::vector<ManifestEntry>& newCommon) {
  w.Install(ManifestKind::kCommon, "old-common", kCommon);
  w.Install(ManifestKind::kBank, "old-bank", kBank);
  w.Publish(ManifestKind::kCommon, "common", newCommon);
  w.Publish(ManifestKind::kBank, "bank", kBank);
  w.ServeFiles(newCommon);
  w.ServeFiles(kBank);
}

TEST(InstallWorker, UpdateWithNothingNewCommitsManifestsAndEndsCleanly) {
  World w;
  InstalledMachine(w, kCommon);
  TestRun r;
  r.Start(w, ProgressMode::Update);
  EXPECT_TRUE(InOrder(w.journal, {"text 1020 无需更新", "start C:\\A\\WebUI_867.exe  -t",
                                  "write C:\\A\\DownLoad\\commit.journal",
                                  "place C:\\A\\DownLoad\\Digest.xml>C:\\A\\Digest.xml",
                                  "regkey Software\\\\Tollwyn\\WebUI\\MOVRA\\867",
                                  "delete C:\\A\\DownLoad\\commit.journal", "text 2 下载完成", "exit 0"}));
  EXPECT_EQ(w.fetcher.calls.size(), 2u);  // the manifests only
  EXPECT_EQ(w.shell.links.size(), 4u);    // shortcuts are renewed
  EXPECT_TRUE(w.fs.IsFolder("C:\\A\\DownLoad\\Data"));
  EXPECT_FALSE(w.fs.Exists("C:\\A\\DownLoad\\Digest_867.xml"));
}

TEST(InstallWorker, RepairDownloadsEachLostFileOnceAndMakesNoShortcut) {
  World w;
  InstalledMachine(w, kCommon);
  w.fs.files.erase("C:\\A\\WebUI_867.exe");  // lost file
  TestRun r;
  r.Start(w, ProgressMode::Repair);
  EXPECT_EQ(w.fetcher.Urls(), (std::vector<std::string>{"https://127.0.0.1/867/Digest.xml",
                                                        "https://127.0.0.1/867/Digest_867.xml",
                                                        "https://127.0.0.1/867/WebUI_867.exe"}));
  EXPECT_NE(w.dialog.texts[kIdStatusLine], "无需更新");
  EXPECT_TRUE(w.shell.links.empty());
  EXPECT_NE(w.registry.Find(RegistryView::k32, "Software\\\\Tollwyn\\WebUI\\MOVRA\\867"), nullptr);
  EXPECT_EQ(w.fs.files["C:\\A\\WebUI_867.exe"].sha1, Sha("W1"));
  // From the last download to the end the status says what runs: no "正在下载 … n/n" while the
  // programs are stopped and the files are put in place.
  EXPECT_TRUE(InOrder(w.journal, {"download https://127.0.0.1/867/WebUI_867.exe", "text 1020 正在关闭助手",
                                  "start C:\\A\\QzwardPop_867.exe  -t", "text 1020 正在更新文件",
                                  "write C:\\A\\DownLoad\\commit.journal", "text 2 下载完成",
                                  "text 1020 完成安装,准备启动助手", "start C:\\A\\WebUI_867.exe -t", "exit 0"}));
  EXPECT_EQ(w.dialog.texts[kIdStatusLine], "完成安装,准备启动助手");
}

TEST(InstallWorker, LockedFileEndsTheProcessWithAMessageAndReplacesNothing) {
  World w;
  std::vector<ManifestEntry> newer = kCommon;
  newer[0].digest = Sha("W2");
  newer[1].digest = Sha("P2");
  InstalledMachine(w, newer);
  w.fs.files["C:\\A\\QzwardPop.exe"].locked = true;
  TestRun r;
  r.Start(w, ProgressMode::Update);
  EXPECT_TRUE(InOrder(w.journal, {"download https://127.0.0.1/867/WebUI_867.exe",
                                  "text 1020 QzwardPop.exe 被占用", "text 2 下载失败",
                                  "message 更新失败，助手文件QzwardPop.exe被占用，请关闭恒澍银行网银助手后重新更新!",
                                  "exit 0"}));
  // Checked before the first file was touched: the other file is still the old one.
  EXPECT_EQ(w.fs.files["C:\\A\\WebUI_867.exe"].sha1, Sha("W1"));
  EXPECT_EQ(w.fs.files["C:\\A\\Digest.xml"].content, "old-common");
  for (const std::string& line : w.fs.log) EXPECT_NE(line.rfind("place ", 0), 0u) << line;
  // The real exit does not return; after it nothing more is done.
  EXPECT_EQ(w.host.exits.size(), 1u);
  EXPECT_EQ(r.run.workerDone, 1);
}

TEST(StartInstallRun, ForcedUpdateTellsTheNotifierBeforeTheWorker) {
  struct Case {
    ProgressMode mode;
    int updateFlag;
    bool assistantPresent;
    bool notified;
  };
  const Case cases[] = {
      {ProgressMode::Update, 2, true, true},  {ProgressMode::Update, 2, false, true},
      {ProgressMode::Update, 1, true, false}, {ProgressMode::Install, 2, true, false},
      {ProgressMode::Repair, 2, true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.mode) * 10 + c.updateFlag);
    World w;
    w.config.updateFlag = c.updateFlag;
    if (c.assistantPresent) w.fs.AddFile("C:\\A\\WebUI_867.exe", FakeFile{});
    TestRun r;
    r.Start(w, c.mode);
    std::vector<std::string> expected;
    if (c.notified) {
      if (c.assistantPresent) expected.push_back("start C:\\A\\WebUI_867.exe -t");
      expected.insert(expected.end(), {"pipe MOVRA_PopUpdatePopCmd||", "sleep 3000"});
    }
    expected.push_back("dialog ready");
    ASSERT_GT(w.journal.size(), expected.size());
    EXPECT_EQ(std::vector<std::string>(w.journal.begin(), w.journal.begin() + expected.size()), expected);
    EXPECT_EQ(w.journal[expected.size()].rfind("mkdir ", 0), 0u);  // then the worker's first step
    if (c.notified) {
      EXPECT_EQ(w.notifier.writes[0].first, "\\\\.\\pipe\\MOVRA_PopMOVRA867");
      EXPECT_TRUE(w.host.Traced("No Find qzPop Pipe !!!"));
    }
  }
}

}  // namespace
}  // namespace corlinq::testing
