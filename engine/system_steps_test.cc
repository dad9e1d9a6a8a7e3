// Folders, registry, shortcuts, prerequisites, process control, legacy removal and commit.
#include <gtest/gtest.h>

#include "engine/engine_fakes.h"
#include "engine/legacy_table.h"

namespace corlinq::testing {
namespace {

FakeFile WithContent(const std::string& content) {
  FakeFile file;
  file.content = content;
  return file;
}

FakeFile WithDigest(const std::string& sha1) {
  FakeFile file;
  file.sha1 = sha1;
  return file;
}

TEST(CreateDirectoryPath, CreatesEachMissingLevel) {
  struct Case {
    const char* path;
    std::vector<std::string> made;
    bool result;
  };
  const Case cases[] = {
      {"C:\\a\\\\b\\", {"mkdir C:\\a", "mkdir C:\\a\\b"}, true},
      {"C:\\Temp\\x", {"mkdir C:\\Temp\\x"}, true},
      {"C:\\Temp", {}, true},
      {"", {}, true},
      {"C:\\no\\way", {"mkdir C:\\no"}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    World w;
    w.fs.failCreate.insert("C:\\no");
    EXPECT_EQ(CreateDirectoryPath(w.fs, w.host, c.path), c.result);
    EXPECT_EQ(w.fs.log, c.made);
  }
  World w;
  w.fs.failCreate.insert("C:\\no");
  (void)CreateDirectoryPath(w.fs, w.host, "C:\\no\\way");
  EXPECT_TRUE(w.host.Traced("创建文件夹失败 Path=C:\\no, errcode=5"));
}

TEST(ClearStagingFolder, DeletesFilesAndKeepsTheLayout) {
  World w;
  auto engine = w.Engine(ProgressMode::Update);
  (void)CreateDirectoryPath(w.fs, w.host, "C:\\A");
  engine->CreateAssistantFolders();
  for (const char* sub : {"\\Data", "\\Plugins", "\\Script", "\\Tools", "\\DownLoad"}) {
    EXPECT_TRUE(w.fs.IsFolder(std::string("C:\\A") + sub));
    EXPECT_TRUE(w.fs.IsFolder(std::string("C:\\A\\DownLoad") + sub) || std::string(sub) == "\\DownLoad");
  }
  w.fs.AddFile("C:\\A\\DownLoad\\Digest.xml", FakeFile{});
  w.fs.AddFile("C:\\A\\DownLoad\\Data\\a.dat", FakeFile{});
  w.fs.AddFile("C:\\A\\DownLoad\\Tools\\busy.exe", FakeFile{"", "", "", true, true});
  w.fs.AddFile("C:\\A\\keep.exe", FakeFile{});
  EXPECT_TRUE(engine->ClearStagingFolder());
  EXPECT_FALSE(w.fs.Exists("C:\\A\\DownLoad\\Digest.xml"));
  EXPECT_FALSE(w.fs.Exists("C:\\A\\DownLoad\\Data\\a.dat"));
  EXPECT_TRUE(w.fs.Exists("C:\\A\\DownLoad\\Tools\\busy.exe"));
  EXPECT_TRUE(w.host.Traced("DeleteFailed"));
  EXPECT_TRUE(w.fs.IsFolder("C:\\A\\DownLoad\\Data"));
  EXPECT_TRUE(w.fs.Exists("C:\\A\\keep.exe"));
  w.fs.listFails = true;
  EXPECT_FALSE(engine->ClearStagingFolder());
}

constexpr const char kRecordKey[] = "Software\\\\Tollwyn\\WebUI\\MOVRA\\867";
constexpr const char kUninstallKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\恒澍银行网银助手";
constexpr const char kRunKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";

TEST(WriteRegistryEntries, KeysValuesAndViews) {
  for (const unsigned char autoStart : {0, 1}) {
    SCOPED_TRACE(autoStart);
    World w;
    w.config.optAutoStart = autoStart;
    w.registry.keys[{RegistryView::k64, kRunKey}] = {{"恒澍银行网银助手", "C:\\Old\\QzwardPop_867.exe"}, {"Other", "x"}};
    auto engine = w.Engine(ProgressMode::Install);
    EXPECT_TRUE(engine->WriteRegistryEntries());
    EXPECT_EQ(*w.registry.Find(RegistryView::k32, kRecordKey),
              (FakeRegistry::Values{{"Version", "2.0.0.1"}, {"Path", "C:\\A"}, {"BankID", "867"}}));
    EXPECT_EQ(*w.registry.Find(RegistryView::k32, kUninstallKey),
              (FakeRegistry::Values{{"UninstallString", "C:\\A\\uninst_867.exe"},
                                    {"Publisher", "朔川科技股份有限公司"},
                                    {"DisplayName", "恒澍银行网银助手"},
                                    {"DisplayVersion", "2.0.0.1"},
                                    {"DisplayIcon", "C:\\A\\WebUI_867.exe"}}));
    FakeRegistry::Values run = {{"Other", "x"}};
    if (autoStart) run["恒澍银行网银助手"] = "C:\\A\\QzwardPop_867.exe";
    EXPECT_EQ(*w.registry.Find(RegistryView::k64, kRunKey), run);
    EXPECT_EQ(w.registry.Find(RegistryView::k32, kRunKey), nullptr);
    EXPECT_EQ(w.registry.Find(RegistryView::k64, kRecordKey), nullptr);
  }
}

TEST(WriteRegistryEntries, Failures) {
  struct Case {
    const char* name;
    const char* failKey;
    const char* failValue;
    bool result;
    bool runTouched;
    const char* trace;
  };
  const Case cases[] = {
      {"install record", kRecordKey, "", true, true, ""},
      {"uninstall entry", kUninstallKey, "", false, false, ""},
      {"run key", kRunKey, "", false, false, "open run failed 5"},
      {"run value", "", "恒澍银行网银助手", false, true, "write run failed 5"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    World w;
    w.config.optAutoStart = 1;
    if (c.failKey[0] != '\0') w.registry.failCreate.insert(c.failKey);
    if (c.failValue[0] != '\0') w.registry.failWrite[c.failValue] = 5;
    EXPECT_EQ(w.Engine(ProgressMode::Install)->WriteRegistryEntries(), c.result);
    EXPECT_EQ(w.registry.Find(RegistryView::k64, kRunKey) != nullptr, c.runTouched);
    if (c.trace[0] != '\0') {
      EXPECT_TRUE(w.host.Traced(c.trace));
    }
  }
}

TEST(CreateShortcuts, LinksForEachOption) {
  World w;
  auto engine = w.Engine(ProgressMode::Install);
  engine->CreateShortcuts();
  const std::map<std::string, std::string> expected = {
      {"C:\\users\\Public\\Desktop\\恒澍银行网银助手.lnk", "C:\\A\\WebUI_867.exe"},
      {"C:\\ProgramData\\Programs\\恒澍银行网上银行安全组件\\恒澍银行网银助手\\恒澍银行网银助手.lnk",
       "C:\\A\\WebUI_867.exe"},
      {"C:\\ProgramData\\Programs\\恒澍银行网上银行安全组件\\恒澍银行网银助手\\恒澍银行网银助手卸载程序.lnk",
       "C:\\A\\uninst_867.exe"},
      {"C:\\users\\u\\AppData\\Microsoft\\Internet Explorer\\Quick Launch\\恒澍银行网银助手.lnk",
       "C:\\A\\WebUI_867.exe"},
  };
  EXPECT_EQ(w.shell.links, expected);
  EXPECT_TRUE(w.fs.IsFolder("C:\\ProgramData\\Programs\\恒澍银行网上银行安全组件\\恒澍银行网银助手"));
  EXPECT_EQ(w.shell.notified,
            std::vector<std::string>{"C:\\ProgramData\\Programs\\恒澍银行网上银行安全组件\\恒澍银行网银助手"});
  EXPECT_EQ(w.dialog.TextsOf(kIdStatusLine), (std::vector<std::string>{"创建桌面快捷方式", "创建快速启动选项"}));
  EXPECT_EQ(w.host.comEnters, 2);  // the engine's and the shortcut step's own
}

TEST(CreateShortcuts, OnlyTheChosenOnesAndMissingFolders) {
  World w;
  w.config.optStartMenuShortcut = 0;
  w.config.optQuickLaunch = 0;
  w.shell.folderPaths.erase(ShellFolder::kCommonDesktop);
  w.Engine(ProgressMode::Install)->CreateShortcuts();
  EXPECT_TRUE(w.shell.links.empty());
  EXPECT_EQ(w.dialog.TextsOf(kIdStatusLine), std::vector<std::string>{"创建桌面快捷方式"});
}

TEST(ProbeRuntimeNeeds, DecisionsByReportedSystem) {
  struct Case {
    const char* name;
    OsFacts facts;
    bool x86Present;
    bool x64Present;
    int result, needX86, needX64;
  };
  const Case cases[] = {
      {"9x", {true, 1, 4, 10, 0}, true, true, 0, 1, 1},
      {"NT 4", {true, 2, 4, 0, 0}, true, true, 0, 1, 1},
      {"7 family 6.1", {true, 2, 6, 1, 9}, false, false, 1, 0, 0},
      {"8 reports 6.2", {true, 2, 6, 2, 0}, false, false, 1, 0, 0},
      {"Vista x64, none", {true, 2, 6, 0, 9}, false, false, 1, 1, 1},
      {"Vista x64, both", {true, 2, 6, 0, 9}, true, true, 1, 0, 0},
      {"Vista x86", {true, 2, 6, 0, 0}, false, false, 1, 1, 0},
      {"6.3 x64, x86 only", {true, 2, 6, 3, 9}, true, false, 1, 0, 1},
      {"XP: architecture unknown", {true, 2, 5, 1, 0}, false, true, 1, 1, 0},
      {"query failed", {false, 0, 0, 0, 0}, true, false, 1, 0, 1},
      {"ARM64 6.0", {true, 2, 6, 0, 12}, false, false, 1, 1, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    World w;
    w.os.facts = c.facts;
    if (c.x86Present) w.registry.keys[{RegistryView::k32, w.runtimes.x86.presenceKey}] = {{"Version", "v10"}};
    if (c.x64Present) w.registry.keys[{RegistryView::k32, w.runtimes.x64.presenceKey}] = {{"Version", "v10"}};
    int needX86 = 0, needX64 = 0;
    EXPECT_EQ(w.Engine(ProgressMode::Install)->ProbeRuntimeNeeds(needX86, needX64), c.result);
    EXPECT_EQ(needX86, c.needX86);
    EXPECT_EQ(needX64, c.needX64);
  }
  // A key without its "Version" value does not count.
  World w;
  w.os.facts = {true, 2, 6, 0, 0};
  w.registry.keys[{RegistryView::k32, w.runtimes.x86.presenceKey}] = {};
  int needX86 = 0, needX64 = 0;
  (void)w.Engine(ProgressMode::Install)->ProbeRuntimeNeeds(needX86, needX64);
  EXPECT_EQ(needX86, 1);
}

TEST(InstallRuntimes, StartsOnlyPinnedInstallers) {
  struct Case {
    const char* name;
    const char* pin;
    const char* served;  // SHA-256 of what the server delivers, nullptr: download fails
    bool started;
  };
  const Case cases[] = {
      {"pinned and matching", "ab12", "ab12", true},
      {"content differs", "ab12", "ff00", false},
      {"no pin", "", "ab12", false},
      {"download fails", "ab12", nullptr, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    World w;
    w.runtimes.x86.sha256Hex = c.pin;
    if (c.served) w.fetcher.served[w.runtimes.x86.url] = FakeFile{"", "", c.served, true, false};
    auto engine = w.Engine(ProgressMode::Install);
    engine->totalSteps = 1;
    EXPECT_EQ(engine->InstallRuntimes(1, 0), c.started);
    ASSERT_EQ(w.fetcher.calls.size(), 1u);
    EXPECT_EQ(w.fetcher.calls[0].url.rfind("https://", 0), 0u);
    EXPECT_EQ(w.fetcher.calls[0].path, "C:\\Temp\\vcredist_x86.exe");
    if (c.started) {
      ASSERT_EQ(w.processes.starts.size(), 1u);
      EXPECT_EQ(w.processes.starts[0].params, "/q");
      EXPECT_EQ(w.processes.starts[0].waitMs, 0u);
      EXPECT_EQ(w.dialog.texts[kIdStatusLine], "正在安装 vcredist_x86.exe");
      EXPECT_EQ(engine->stepCounter, 2);
    } else {
      EXPECT_TRUE(w.processes.starts.empty());
      EXPECT_FALSE(w.fs.Exists("C:\\Temp\\vcredist_x86.exe"));
      EXPECT_EQ(w.dialog.texts[kIdStatusLine], "下载vcredist_x86.exe 失败");
      EXPECT_EQ(w.dialog.texts[kIdCancelButton], "下载VS库失败");
      EXPECT_EQ(engine->stepCounter, 1);
    }
  }
}

TEST(ProcessHelpers, FirstMatchIgnoringCase) {
  World w;
  w.processes.running = {"explorer.exe", "WEBUI_867.exe", "webui_867.exe"};
  EXPECT_EQ(w.processes.FindProcessByName("WebUI_867.exe"), 101u);
  KillProcessByName(w.processes, "WebUI_867.exe");
  EndProcessByName(w.processes, w.host, "webui_867.EXE");
  EndProcessByName(w.processes, w.host, "absent.exe");
  EXPECT_EQ(w.processes.log, (std::vector<std::string>{"kill WEBUI_867.exe", "end webui_867.exe"}));
  EXPECT_EQ(w.processes.running, std::vector<std::string>{"explorer.exe"});
}

TEST(StopAssistantProcesses, AsksThenEndsWithBoundedWaits) {
  World w;
  w.fs.AddFile("C:\\A\\WebUI_867.exe", FakeFile{});
  w.fs.AddFile("C:\\A\\QzwardPop_867.exe", FakeFile{});
  w.processes.running = {"WebUI_867.exe", "QzwardPop_867.exe"};
  w.processes.hangs.insert("C:\\A\\QzwardPop_867.exe");
  EXPECT_TRUE(w.Engine(ProgressMode::Update)->StopAssistantProcesses());
  EXPECT_TRUE(w.fs.IsFolder("C:\\A\\DownLoad"));
  EXPECT_EQ(w.processes.log, (std::vector<std::string>{"start C:\\A\\WebUI_867.exe  -t", "kill WebUI_867.exe",
                                                       "start C:\\A\\QzwardPop_867.exe  -t",
                                                       "kill QzwardPop_867.exe",
                                                       "wait gone WebUI_867.exe,QzwardPop_867.exe 2000"}));
  for (const auto& start : w.processes.starts) {
    EXPECT_TRUE(start.hidden);
    EXPECT_EQ(start.waitMs, kStopInstanceWaitMs);
  }
  EXPECT_TRUE(w.host.Traced("still running after the wait: C:\\A\\QzwardPop_867.exe -t"));
  EXPECT_EQ(w.host.sleeps, std::vector<uint32_t>{});
}

// The commit must not meet a stopped program still ending; the run waits for the programs
// themselves (bounded), not a fixed time, and goes on when one outlasts the wait.
TEST(StopAssistantProcesses, WaitsUntilTheStoppedProgramsAreGone) {
  const struct {
    const char* name;
    std::vector<std::string> running;
    std::set<std::string> lingers;
    std::vector<std::string> left;
    bool traced;
  } cases[] = {
      {"nothing runs", {}, {}, {}, false},
      {"a second assistant and a notifier ending by themselves",
       {"WebUI_867.exe", "webui_867.exe", "QzwardPop_867.exe", "explorer.exe"}, {}, {"explorer.exe"}, false},
      {"a second assistant outlasts the wait",
       {"WebUI_867.exe", "webui_867.exe"}, {"webui_867.exe"}, {"webui_867.exe"}, true},
  };
  for (const auto& c : cases) {
    World w;
    w.processes.running = c.running;
    w.processes.lingers = c.lingers;
    EXPECT_TRUE(w.Engine(ProgressMode::Update)->StopAssistantProcesses()) << c.name;
    EXPECT_EQ(w.processes.running, c.left) << c.name;
    EXPECT_EQ(w.processes.log.back(), "wait gone WebUI_867.exe,QzwardPop_867.exe 2000") << c.name;
    EXPECT_EQ(w.host.Traced("still running after the wait: WebUI_867.exe, QzwardPop_867.exe"), c.traced) << c.name;
    EXPECT_EQ(w.host.sleeps, std::vector<uint32_t>{}) << c.name;
  }
}

// "-t" ends a running instance; the new one starts only once no instance of it runs.
TEST(StartAssistant, StartsAnewOnceTheOldInstanceIsGone) {
  World w;
  w.config.installDir = "C:\\A";
  w.fs.AddFile("C:\\A\\QzwardPop.exe", FakeFile{});
  w.fs.AddFile("C:\\A\\WebUI_867.exe", FakeFile{});
  w.processes.running = {"QzwardPop.exe", "WebUI_867.exe"};
  w.processes.lingers = {"WebUI_867.exe"};
  StartAssistant(w.config, w.processes, w.fs, w.host);
  EXPECT_EQ(w.processes.log, (std::vector<std::string>{
                                 "start C:\\A\\QzwardPop.exe -t", "wait gone QzwardPop.exe 500",
                                 "start C:\\A\\QzwardPop.exe ", "start C:\\A\\WebUI_867.exe -t",
                                 "wait gone WebUI_867.exe 500", "start C:\\A\\WebUI_867.exe "}));
  EXPECT_TRUE(w.host.Traced("still running after the wait: WebUI_867.exe"));
  EXPECT_EQ(w.host.sleeps, std::vector<uint32_t>{});
}

TEST(SetAsideOwnExecutable, MovesTheRunningFileAside) {
  World w;
  w.fs.AddFile("C:\\A\\corlinq_867.exe", FakeFile{"", "running", "", true, true});
  w.fs.AddFile("C:\\A\\corlinq_old.exe", FakeFile{"", "older", "", true, false});
  SetAsideOwnExecutable(w.fs, w.host, "C:\\A", "corlinq_867.exe");
  EXPECT_EQ(w.fs.files["C:\\A\\corlinq_old.exe"].sha1, "running");
  EXPECT_FALSE(w.fs.Exists("C:\\A\\corlinq_867.exe"));
}

TEST(RemoveLegacyAssistants, ByTableRowOrProductCode) {
  ASSERT_NE(FindLegacyProduct(0x42), nullptr);
  ASSERT_EQ(FindLegacyProduct(0x1a2b), nullptr);
  struct Case {
    const char* name;
    int bankId;
    const char* key;
    ProgressMode mode;
    std::vector<std::string> journalTail;  // from the first status text
  };
  const std::string desk = "C:\\Users\\u\\Desktop";
  const Case cases[] = {
      {"default bank: nothing", 0x867, "", ProgressMode::Install, {}},
      {"update: nothing", 0x1a2b, "{6F3C2A10-8B4D-4E21-9A7C-1D2E3F405162}", ProgressMode::Update, {}},
      {"table row",
       0x42,
       "Linze Online Banking Assistant",
       ProgressMode::Install,
       {"text 1020 卸载岭泽老版助手", "refresh 1020", "end LinzeAssist.exe",
        "start C:\\Program Files\\Linze Online Banking Assistant\\uninst.exe /S",
        "move " + desk + "\\QZupdate.exe>" + desk + "\\corlinq_042.exe"}},
      {"product code",
       0x1a2b,
       "{6F3C2A10-8B4D-4E21-9A7C-1D2E3F405162}",
       ProgressMode::Install,
       {"text 1020 卸载澜川银行老版助手", "refresh 1020", "delete " + desk + "\\QZupdate.exe",
        "truncate " + desk + "\\killprocess.vbs", "sleep 500",
        "move " + desk + "\\corlinq_1a2b.exe>" + desk + "\\QZupdate.exe",
        "start msiexec.exe /X{6F3C2A10-8B4D-4E21-9A7C-1D2E3F405162} /quiet",
        "move " + desk + "\\QZupdate.exe>" + desk + "\\corlinq_1a2b.exe"}},
      {"product key that is no product code",
       0x1a2b,
       "{6F3C2A10} /i evil.msi",
       ProgressMode::Install,
       {"text 1020 卸载澜川银行老版助手", "refresh 1020"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    World w;
    ApplyBankProfile(w.config, c.bankId);
    w.config.legacyProductKey = c.key;
    w.processes.ownPath = desk + "\\" + w.config.downloaderExeName;
    w.processes.running = {"LinzeAssist.exe"};
    w.fs.AddFile(desk + "\\" + w.config.downloaderExeName, FakeFile{});
    w.fs.AddFile(desk + "\\killprocess.vbs", WithContent("script"));
    w.fs.AddFile("C:\\Program Files\\Linze Online Banking Assistant\\uninst.exe", FakeFile{});
    if (c.bankId == 0x42) w.fs.AddFile(desk + "\\QZupdate.exe", FakeFile{});  // left by the legacy product
    else w.fs.AddFile(desk + "\\QZupdate.exe", WithContent("stale"));
    auto engine = w.Engine(c.mode);
    w.journal.clear();
    EXPECT_TRUE(engine->RemoveLegacyAssistants());
    EXPECT_EQ(w.journal, c.journalTail);
    for (const auto& start : w.processes.starts) EXPECT_EQ(start.waitMs, kUninstallerWaitMs);
  }
}

TEST(CommitStagedFiles, MovesTheQueuedFilesOverTheInstallation) {
  World w;
  w.fs.AddFolderPath("C:\\A\\DownLoad\\Tools");
  w.fs.AddFolderPath("C:\\A\\Data");
  w.fs.AddFile("C:\\A\\DownLoad\\Digest.xml", WithContent("m"));
  w.fs.AddFile("C:\\A\\DownLoad\\Digest_867.xml", WithContent("b"));
  w.fs.AddFile("C:\\A\\DownLoad\\corlinq_867.exe", WithDigest("new"));
  w.fs.AddFile("C:\\A\\DownLoad\\Data\\a.dat", WithDigest("A2"));
  w.fs.AddFile("C:\\A\\corlinq_867.exe", FakeFile{"", "running", "", true, true});
  EXPECT_EQ(w.Engine(ProgressMode::Install)->CommitStagedFiles().status, CommitResult::Status::kCommitted);
  EXPECT_TRUE(w.fs.log.empty());
  auto engine = w.Engine(ProgressMode::Update);
  engine->updateList = {"corlinq_867.exe", "Data\\a.dat"};
  EXPECT_EQ(engine->CommitStagedFiles().status, CommitResult::Status::kCommitted);
  EXPECT_EQ(w.fs.files["C:\\A\\Data\\a.dat"].sha1, "A2");
  EXPECT_EQ(w.fs.files["C:\\A\\Digest.xml"].content, "m");
  EXPECT_EQ(w.fs.files["C:\\A\\corlinq_867.exe"].sha1, "new");
  EXPECT_EQ(w.fs.files["C:\\A\\corlinq_old.exe"].sha1, "running");
  EXPECT_FALSE(w.fs.Exists("C:\\A\\DownLoad\\Data\\a.dat"));  // moved, not copied
  EXPECT_TRUE(w.host.exits.empty());
}

}  // namespace
}  // namespace corlinq::testing
