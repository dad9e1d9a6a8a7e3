// Fetching the manifests and bringing the listed files up to date, in all three modes.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <chrono>
#include <ctime>
#include <time.h>
#include <cstdio>

#include "engine/engine_fakes.h"

namespace corlinq::testing {
namespace {

const std::vector<ManifestEntry> kCommon = {
    {"", "WebUI_867.exe", "AAAAAAAAAAAAAAAAAAAAAAAAAAA="},
    {"Data", "skin.dat", "BBBBBBBBBBBBBBBBBBBBBBBBBBB="},
};
const std::vector<ManifestEntry> kBank = {
    {"Plugins", "bank.dll", "CCCCCCCCCCCCCCCCCCCCCCCCCCC="},
};

TEST(FetchManifests, DestinationsByModeAndInstalledCopies) {
  struct Case {
    const char* name;
    ProgressMode mode;
    bool installedCommon;
    bool installedBank;
    bool staged;
  };
  const Case cases[] = {
      {"install", ProgressMode::Install, true, true, false},
      {"update with both installed", ProgressMode::Update, true, true, true},
      {"repair with both installed", ProgressMode::Repair, true, true, true},
      {"update with bank manifest missing", ProgressMode::Update, true, false, true},
      {"update with none", ProgressMode::Update, false, false, true},
      {"repair with none", ProgressMode::Repair, false, false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    World w;
    w.fs.AddFolderPath("C:\\A\\DownLoad");
    if (c.installedCommon) w.Install(ManifestKind::kCommon, "old-common", kCommon);
    if (c.installedBank) w.Install(ManifestKind::kBank, "old-bank", kBank);
    w.Publish(ManifestKind::kCommon, "new-common", kCommon);
    w.Publish(ManifestKind::kBank, "new-bank", kBank);
    auto engine = w.Engine(c.mode);
    ASSERT_TRUE(engine->FetchManifests());
    const std::string dir = c.staged ? "C:\\A\\DownLoad\\" : "C:\\A\\";
    EXPECT_EQ(w.fs.files[dir + "Digest.xml"].content, "new-common");
    EXPECT_EQ(w.fs.files[dir + "Digest_867.xml"].content, "new-bank");
    ASSERT_EQ(w.fetcher.calls.size(), 2u);
    EXPECT_EQ(w.fetcher.calls[0].url, "https://127.0.0.1/867/Digest.xml");
    EXPECT_FALSE(w.fetcher.calls[0].withProgress);
    EXPECT_EQ(w.dialog.TextsOf(kIdStatusLine), (std::vector<std::string>{"正在下载 配置文件", "正在下载 配置文件"}));
  }
}

// Without installed manifests an update has nothing to compare with: every listed file is
// fetched into the staging folder, and the run does not end in "无需更新" with nothing installed.
TEST(FetchManifests, UpdateWithoutInstalledManifestsFetchesEveryFile) {
  World w;
  for (const char* sub : {"", "\\Data", "\\Plugins", "\\Script", "\\Tools"}) {
    w.fs.AddFolderPath(std::string("C:\\A\\DownLoad") + sub);
  }
  w.Publish(ManifestKind::kCommon, "new-common", kCommon);
  w.Publish(ManifestKind::kBank, "new-bank", kBank);
  w.ServeFiles(kCommon);
  w.ServeFiles(kBank);
  auto engine = w.Engine(ProgressMode::Update);
  ASSERT_TRUE(engine->FetchManifests());
  ASSERT_TRUE(engine->SyncManifestFiles(ManifestKind::kCommon));
  ASSERT_TRUE(engine->SyncManifestFiles(ManifestKind::kBank));
  EXPECT_EQ(engine->updateList.size(), kCommon.size() + kBank.size());
  EXPECT_NE(w.dialog.texts[kIdStatusLine], "无需更新");
}

bool TracedPrefix(const FakeHost& host, const std::string& prefix) {
  return std::any_of(host.traces.begin(), host.traces.end(),
                     [&](const auto& t) { return t.first.rfind(prefix, 0) == 0; });
}

// A manifest the run cannot use stops it at the manifest step, visibly, and is not kept: not
// fetched, not signed, not readable, or listing an entry the rules refuse.
TEST(FetchManifests, RefusedManifestsStopVisiblyAndAreNotKept) {
  using Status = ManifestLoad::Status;
  struct Case {
    const char* name;
    bool failDownload;
    bool badSignature;
    Status status;  // what the reader makes of the signed file
    ManifestEntry extra;
    const char* trace;
    const char* shown;
  };
  const ManifestEntry fine{"", "a.dll", Sha("x")};
  const Case cases[] = {
      {"download fails", true, false, Status::kLoaded, fine, "DownLoad XML Failed", "下载配置文件 失败"},
      {"bad signature", false, true, Status::kLoaded, fine, "VerifyXMLSignature Failed", "配置文件校验失败"},
      // Signed, but "</Sign>" changed in the unchecked bytes, or nested too deep: not XML.
      {"signed but unreadable", false, false, Status::kUnloadable, fine, "Manifest refused", "配置文件无效"},
      // Signed, readable, but its File elements are not the ones FileInfo counts.
      {"signed, files left out", false, false, Status::kInvalidEntry, fine, "Manifest refused", "配置文件无效"},
      {"parent folder", false, false, Status::kLoaded, {"..\\..\\Windows", "evil.dll", Sha("x")}, "Manifest refused", "配置文件无效"},
      {"drive letter", false, false, Status::kLoaded, {"C:\\Windows", "evil.dll", Sha("x")}, "Manifest refused", "配置文件无效"},
      {"leading separator", false, false, Status::kLoaded, {"\\Windows", "evil.dll", Sha("x")}, "Manifest refused", "配置文件无效"},
      {"separator in name", false, false, Status::kLoaded, {"Data", "..\\evil.dll", Sha("x")}, "Manifest refused", "配置文件无效"},
      {"slash", false, false, Status::kLoaded, {"Data/../..", "evil.dll", Sha("x")}, "Manifest refused", "配置文件无效"},
      {"empty name", false, false, Status::kLoaded, {"Data", "", Sha("x")}, "Manifest refused", "配置文件无效"},
      {"empty digest", false, false, Status::kLoaded, {"", "a.dll", ""}, "Manifest refused", "配置文件无效"},
      {"short digest", false, false, Status::kLoaded, {"", "a.dll", "x"}, "Manifest refused", "配置文件无效"},
      {"staging folder", false, false, Status::kLoaded, {"download\\Data", "a.dll", Sha("x")}, "Manifest refused", "配置文件无效"},
      {"console device", false, false, Status::kLoaded, {"", "CONIN$", Sha("x")}, "Manifest refused", "配置文件无效"},
      {"twice, other case", false, false, Status::kLoaded, {"data", "SKIN.dat", Sha("x")}, "Manifest refused", "配置文件无效"},
  };
  for (const Case& c : cases) {
    for (const ProgressMode mode : {ProgressMode::Install, ProgressMode::Update}) {
      SCOPED_TRACE(std::string(c.name) + (mode == ProgressMode::Install ? " (install)" : " (update)"));
      World w;
      std::vector<ManifestEntry> entries = kCommon;
      entries.push_back(c.extra);
      w.Publish(ManifestKind::kCommon, "new-common", entries);
      w.manifests.documents["new-common"].status = c.status;
      if (c.status != Status::kLoaded) w.manifests.documents["new-common"].entries.clear();
      if (c.failDownload) w.fetcher.failing.insert("https://127.0.0.1/867/Digest.xml");
      if (c.badSignature) w.manifests.badSignature.insert("new-common");
      w.fs.AddFolderPath("C:\\A\\DownLoad");
      auto engine = w.Engine(mode);
      EXPECT_FALSE(engine->FetchManifests());
      EXPECT_TRUE(TracedPrefix(w.host, c.trace));
      EXPECT_FALSE(w.fs.Exists("C:\\A\\Digest.xml"));
      EXPECT_FALSE(w.fs.Exists("C:\\A\\DownLoad\\Digest.xml"));
      EXPECT_EQ(w.fetcher.calls.size(), 1u);  // the bank manifest is not fetched
      EXPECT_EQ(w.dialog.texts[kIdStatusLine], c.shown);
      EXPECT_EQ(w.dialog.texts[kIdCancelButton], "下载失败");
      EXPECT_EQ(engine->CountManifestEntries(ManifestKind::kCommon), 0);
    }
  }
}

// Names that merely hold two dots, a folder that only starts like the staging folder, and
// folders the run makes itself are plain entries.
TEST(FetchManifests, AcceptsPlainNamesTheOldRuleRefused) {
  const std::vector<ManifestEntry> entries = {{"", "a..b.txt", Sha("a")},
                                              {"v1..2", "x.dll", Sha("b")},
                                              {"DownLoads", "y.dll", Sha("c")},
                                              {"Data\\DownLoad", "z.dll", Sha("d")}};
  World w;
  w.Publish(ManifestKind::kCommon, "new-common", entries);
  w.Publish(ManifestKind::kBank, "new-bank", kBank);
  w.ServeFiles(entries);
  w.fs.AddFolderPath("C:\\A");
  auto engine = w.Engine(ProgressMode::Install);
  ASSERT_TRUE(engine->FetchManifests());
  engine->totalSteps = 4;
  ASSERT_TRUE(engine->SyncManifestFiles(ManifestKind::kCommon));
  EXPECT_TRUE(w.fs.Exists("C:\\A\\a..b.txt"));
  EXPECT_TRUE(w.fs.Exists("C:\\A\\v1..2\\x.dll"));
}

// Only what this run fetched and verified counts: an earlier manifest at the destination is
// removed before the download, so a download that claims success without writing the file (a
// 404 page taken as the file) fails the run instead of letting the old manifest stand.
TEST(FetchManifests, AnEarlierCopyAtTheDestinationNeverCounts) {
  for (const ProgressMode mode : {ProgressMode::Install, ProgressMode::Update, ProgressMode::Repair}) {
    SCOPED_TRACE(static_cast<int>(mode));
    World w;
    w.Install(ManifestKind::kCommon, "old-common", kCommon);
    w.Install(ManifestKind::kBank, "old-bank", kBank);
    w.fs.AddFile("C:\\A\\DownLoad\\Digest.xml", FakeFile{"old-common", "", "", true, false});
    w.Publish(ManifestKind::kCommon, "new-common", kCommon);
    w.fetcher.claimWithoutWriting.insert("https://127.0.0.1/867/Digest.xml");
    auto engine = w.Engine(mode);
    EXPECT_FALSE(engine->FetchManifests());
    EXPECT_TRUE(w.host.Traced("VerifyXMLSignature Failed"));
    EXPECT_EQ(w.dialog.texts[kIdCancelButton], "下载失败");
    const std::string target = mode == ProgressMode::Install ? "C:\\A\\Digest.xml" : "C:\\A\\DownLoad\\Digest.xml";
    EXPECT_FALSE(w.fs.Exists(target));
    // An update keeps the installed manifest it compares with.
    if (mode != ProgressMode::Install) {
      EXPECT_EQ(w.fs.files["C:\\A\\Digest.xml"].content, "old-common");
    }
  }
}

// An update or repair starts from an empty staging folder: nothing an aborted run left there is
// staged or committed. A leftover that cannot be removed stops the run, visibly.
TEST(FetchManifests, UpdateAndRepairStartFromAnEmptyStagingFolder) {
  const char* leftovers[] = {"C:\\A\\DownLoad\\Digest_867.xml", "C:\\A\\DownLoad\\Data\\skin.dat",
                             "C:\\A\\DownLoad\\Data\\skin.dat.1a2b3c4d.part", "C:\\A\\DownLoad\\Other\\Deep\\x.dll"};
  for (const ProgressMode mode : {ProgressMode::Update, ProgressMode::Repair}) {
    for (const bool locked : {false, true}) {
      SCOPED_TRACE(static_cast<int>(mode) * 10 + (locked ? 1 : 0));
      World w;
      w.Install(ManifestKind::kCommon, "old-common", kCommon);
      w.Install(ManifestKind::kBank, "old-bank", kBank);
      for (const char* file : leftovers) w.fs.AddFile(file, FakeFile{"old-bank", Sha("old"), "", true, false});
      if (locked) w.fs.files["C:\\A\\DownLoad\\Other\\Deep\\x.dll"].locked = true;
      w.Publish(ManifestKind::kCommon, "new-common", kCommon);
      w.Publish(ManifestKind::kBank, "new-bank", kBank);
      auto engine = w.Engine(mode);
      EXPECT_EQ(engine->FetchManifests(), !locked);
      for (const char* file : leftovers) {
        if (locked && std::string(file).find("x.dll") != std::string::npos) continue;
        EXPECT_FALSE(w.fs.Exists(file) && w.fs.files[file].content == "old-bank") << file;
      }
      if (locked) {
        EXPECT_TRUE(w.fetcher.calls.empty());
        EXPECT_EQ(w.dialog.texts[kIdStatusLine], "清理临时文件失败");
        EXPECT_EQ(w.dialog.texts[kIdCancelButton], "下载失败");
      } else {
        EXPECT_EQ(w.fs.files["C:\\A\\DownLoad\\Digest_867.xml"].content, "new-bank");
        EXPECT_TRUE(w.fs.IsFolder("C:\\A\\DownLoad\\Data"));  // folders stay, files go
      }
    }
  }
}

// Each manifest file is read once per run, however many steps look at it.
TEST(FetchManifests, EachManifestIsReadOncePerRun) {
  std::vector<ManifestEntry> newer = kCommon;
  newer[0].digest = Sha("W2");
  for (const ProgressMode mode : {ProgressMode::Install, ProgressMode::Update, ProgressMode::Repair}) {
    SCOPED_TRACE(static_cast<int>(mode));
    World w;
    if (mode != ProgressMode::Install) {
      w.Install(ManifestKind::kCommon, "old-common", kCommon);
      w.Install(ManifestKind::kBank, "old-bank", kBank);
    }
    for (const char* sub : {"", "\\Data", "\\Plugins"}) w.fs.AddFolderPath(std::string("C:\\A\\DownLoad") + sub);
    w.Publish(ManifestKind::kCommon, "new-common", newer);
    w.Publish(ManifestKind::kBank, "new-bank", kBank);
    w.ServeFiles(newer);
    w.ServeFiles(kBank);
    auto engine = w.Engine(mode);
    ASSERT_TRUE(engine->FetchManifests());
    engine->totalSteps = engine->CountManifestEntries(ManifestKind::kBank) +
                         engine->CountManifestEntries(ManifestKind::kCommon);
    ASSERT_TRUE(engine->SyncManifestFiles(ManifestKind::kCommon));
    ASSERT_TRUE(engine->SyncManifestFiles(ManifestKind::kBank));
    ASSERT_FALSE(w.manifests.loadsOf.empty());
    for (const auto& [file, count] : w.manifests.loadsOf) EXPECT_EQ(count, 1) << file;
  }
}

TEST(CountManifestEntries, AlwaysReadsTheInstalledCopy) {
  World w;
  w.Install(ManifestKind::kCommon, "old-common", kCommon);
  w.fs.AddFile("C:\\A\\DownLoad\\Digest_867.xml", FakeFile{"staged-bank", "", "", true, false});
  w.manifests.documents["staged-bank"] = ManifestLoad{ManifestLoad::Status::kLoaded, kBank};
  auto engine = w.Engine(ProgressMode::Update);
  EXPECT_EQ(engine->CountManifestEntries(ManifestKind::kCommon), 2);
  EXPECT_EQ(engine->CountManifestEntries(ManifestKind::kBank), 0);
}

// An install run's download of one manifest kind.
struct InstallSync {
  World w;
  std::unique_ptr<InstallEngine> engine;
  explicit InstallSync(const std::vector<ManifestEntry>& entries) {
    w.fs.AddFolderPath("C:\\A\\Data");
    w.fs.AddFolderPath("C:\\A\\Plugins");
    w.manifests.documents["common"] = ManifestLoad{ManifestLoad::Status::kLoaded, entries};
    w.fs.AddFile("C:\\A\\Digest.xml", FakeFile{"common", "", "", true, false});
    w.ServeFiles(entries);
    engine = w.Engine(ProgressMode::Install);
    engine->totalSteps = static_cast<int>(entries.size());
  }
};

TEST(SyncManifestFiles, InstallDownloadsEveryEntryInPlaceWithItsDigest) {
  InstallSync s({{"", "WebUI_867.exe", Sha("AAAA")}, {"Data", "skin.dat", Sha("BBBB")}, {"Tools", "new.exe", Sha("CCCC")}});
  s.w.processes.running = {"explorer.exe", "webui_867.EXE"};
  ASSERT_TRUE(s.engine->SyncManifestFiles(ManifestKind::kCommon));
  ASSERT_EQ(s.w.fetcher.calls.size(), 3u);
  EXPECT_EQ(s.w.fetcher.calls[0].url, "https://127.0.0.1/867//WebUI_867.exe");
  EXPECT_EQ(s.w.fetcher.calls[0].path, "C:\\A\\WebUI_867.exe");
  EXPECT_EQ(s.w.fetcher.calls[1].url, "https://127.0.0.1/867/Data/skin.dat");
  EXPECT_EQ(s.w.fetcher.calls[1].path, "C:\\A\\Data\\skin.dat");
  EXPECT_EQ(s.w.fetcher.calls[2].path, "C:\\A\\Tools\\new.exe");  // one missing level is created
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(s.w.fetcher.calls[i].expectedDigest, Sha(std::string(4, static_cast<char>('A' + i))));
    EXPECT_TRUE(s.w.fetcher.calls[i].withProgress);
  }
  EXPECT_EQ(s.w.processes.log, (std::vector<std::string>{"end webui_867.EXE"}));
  EXPECT_EQ(s.engine->stepCounter, 4);
  EXPECT_EQ(s.w.dialog.TextsOf(kIdStatusLine),
            (std::vector<std::string>{"正在下载 WebUI_867.exe   1/3", "正在下载 skin.dat   2/3", "正在下载 new.exe   3/3"}));
  EXPECT_EQ(s.w.dialog.TextsOf(kIdFilePercent), (std::vector<std::string>{"0%", "0%", "0%"}));
  EXPECT_EQ(s.w.dialog.texts[kIdOverallPercent], "100.00%");
  EXPECT_EQ(s.w.dialog.positions[kIdOverallBar], 3u);
  EXPECT_TRUE(s.engine->updateList.empty());
}

TEST(SyncManifestFiles, InstallStopsAtTheFirstFailure) {
  struct Case {
    const char* name;
    std::vector<ManifestEntry> entries;
    const char* failingUrl;     // "" for none
    const char* servedDigest;   // content the server really has for skin.dat, "" for the listed one
    size_t tried;
    const char* failedName;
  };
  const Case cases[] = {
      {"download fails", {{"", "a.exe", Sha("A")}, {"Data", "skin.dat", Sha("B")}, {"", "c.exe", Sha("C")}},
       "https://127.0.0.1/867/Data/skin.dat", "", 2, "skin.dat"},
      {"content differs from the signed manifest", {{"", "a.exe", Sha("A")}, {"Data", "skin.dat", Sha("B")}, {"", "c.exe", Sha("C")}},
       "", "TAMPERED", 2, "skin.dat"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    InstallSync s(c.entries);
    if (c.failingUrl[0] != '\0') s.w.fetcher.failing.insert(c.failingUrl);
    if (c.servedDigest[0] != '\0') s.w.fetcher.served["https://127.0.0.1/867/Data/skin.dat"].sha1 = Sha(c.servedDigest);
    EXPECT_FALSE(s.engine->SyncManifestFiles(ManifestKind::kCommon));
    EXPECT_EQ(s.w.fetcher.calls.size(), c.tried);
    EXPECT_EQ(s.w.dialog.texts[kIdStatusLine], std::string("下载") + c.failedName + " 失败");
    EXPECT_EQ(s.w.dialog.texts[kIdCancelButton], "下载失败");
    EXPECT_FALSE(s.w.fs.Exists("C:\\A\\Data\\skin.dat"));
  }
}

TEST(SyncManifestFiles, InstallSetsTheRunningDownloaderAside) {
  InstallSync s({{"", "corlinq_867.exe", Sha("D")}});
  s.w.fs.AddFile("C:\\A\\corlinq_867.exe", FakeFile{"", "old", "", true, true});
  s.w.fs.AddFile("C:\\A\\corlinq_old.exe", FakeFile{"", "older", "", true, false});
  ASSERT_TRUE(s.engine->SyncManifestFiles(ManifestKind::kCommon));
  EXPECT_EQ(s.w.fs.files["C:\\A\\corlinq_old.exe"].sha1, "old");
  EXPECT_EQ(s.w.fs.files["C:\\A\\corlinq_867.exe"].sha1, Sha("D"));
}

TEST(SyncManifestFiles, PopupNotifierEntriesEndTheirProcessFirst) {
  InstallSync s({{"", "QzwardPop_867.exe", Sha("P")}, {"", "qzwardpop.exe", Sha("Q")}});
  s.w.processes.running = {"QzwardPop_867.exe", "qzwardpop.exe"};
  ASSERT_TRUE(s.engine->SyncManifestFiles(ManifestKind::kCommon));
  EXPECT_EQ(s.w.processes.log, (std::vector<std::string>{"end QzwardPop_867.exe"}));  // case-sensitive "QzwardPop"
}

// An update over an earlier installation: new manifests staged, planning and staged downloads.
struct UpdateSync {
  World w;
  std::unique_ptr<InstallEngine> engine;
  UpdateSync(ProgressMode mode, const std::vector<ManifestEntry>& installedCommon,
             const std::vector<ManifestEntry>& newCommon, const std::vector<ManifestEntry>& installedBank,
             const std::vector<ManifestEntry>& newBank) {
    w.Install(ManifestKind::kCommon, "old-common", installedCommon);
    w.Install(ManifestKind::kBank, "old-bank", installedBank);
    for (const char* sub : {"", "\\Data", "\\Plugins", "\\Script", "\\Tools"}) w.fs.AddFolderPath(std::string("C:\\A\\DownLoad") + sub);
    w.manifests.documents["new-common"] = ManifestLoad{ManifestLoad::Status::kLoaded, newCommon};
    w.manifests.documents["new-bank"] = ManifestLoad{ManifestLoad::Status::kLoaded, newBank};
    w.fs.AddFile("C:\\A\\DownLoad\\Digest.xml", FakeFile{"new-common", "", "", true, false});
    w.fs.AddFile("C:\\A\\DownLoad\\Digest_867.xml", FakeFile{"new-bank", "", "", true, false});
    w.ServeFiles(newCommon);
    w.ServeFiles(newBank);
    engine = w.Engine(mode);
  }
  bool SyncBoth() {
    const bool common = engine->SyncManifestFiles(ManifestKind::kCommon);
    const bool bank = engine->SyncManifestFiles(ManifestKind::kBank);
    return common && bank;
  }
};

// A file may lie several folders below folders that do not exist yet, in the install folder as
// in the staging folder; every missing level is made before its download.
TEST(SyncManifestFiles, FilesBelowNewFoldersFindTheirPlaceInEveryMode) {
  InstallSync install({{"New\\Deep", "x.dll", Sha("X")}, {"", "c.exe", Sha("C")}});
  EXPECT_TRUE(install.engine->SyncManifestFiles(ManifestKind::kCommon));
  EXPECT_TRUE(install.w.fs.Exists("C:\\A\\New\\Deep\\x.dll"));

  UpdateSync update(ProgressMode::Repair, {}, {{"帮助\\子", "y.txt", Sha("Y")}}, {}, {});
  EXPECT_TRUE(update.SyncBoth());
  EXPECT_TRUE(update.w.fs.Exists("C:\\A\\DownLoad\\帮助\\子\\y.txt"));
}

TEST(SyncManifestFiles, UpdatePlanningDecisions) {
  const std::vector<ManifestEntry> installed = {
      {"", "same.exe", Sha("S")},          {"Data", "changed.dat", Sha("OLD")}, {"Data", "edited.dat", Sha("E")},
      {"Data", "locked.dat", Sha("L")},    {"Tools", "moved.dll", Sha("M")},    {"", "dup.txt", Sha("D")},
      {"", "dup.txt", Sha("WRONG")},
  };
  const std::vector<ManifestEntry> fresh = {
      {"", "same.exe", Sha("S")},        {"Data", "changed.dat", Sha("NEW")}, {"Data", "edited.dat", Sha("E")},
      {"Data", "locked.dat", Sha("L")},  {"Plugins", "moved.dll", Sha("M")},  {"", "dup.txt", Sha("D")},
      {"Script", "added.lua", Sha("A")},
  };
  UpdateSync s(ProgressMode::Update, installed, fresh, {}, {});
  s.w.fs.files["C:\\A\\dup.txt"].sha1 = Sha("D");                  // the first listing counts
  s.w.fs.files["C:\\A\\Data\\edited.dat"].sha1 = Sha("EDITED");      // changed on disk
  s.w.fs.files["C:\\A\\Data\\locked.dat"].readable = false;      // cannot be read
  s.w.fs.AddFile("C:\\A\\Plugins\\moved.dll", FakeFile{"", "M", "", true, false});
  ASSERT_TRUE(s.SyncBoth());
  const std::vector<std::string> expected = {"Data\\changed.dat", "Data\\edited.dat", "Data\\locked.dat",
                                             "Plugins\\moved.dll", "Script\\added.lua"};
  EXPECT_EQ(s.engine->updateList, expected);
  ASSERT_EQ(s.w.fetcher.calls.size(), expected.size());
  for (size_t j = 0; j < expected.size(); ++j) {
    EXPECT_EQ(s.w.fetcher.calls[j].url, "https://127.0.0.1/867/" + expected[j]);
    EXPECT_EQ(s.w.fetcher.calls[j].path, "C:\\A\\DownLoad\\" + expected[j]);
  }
  EXPECT_EQ(s.w.fetcher.calls[0].expectedDigest, Sha("NEW"));
  EXPECT_EQ(s.w.fetcher.calls[4].expectedDigest, Sha("A"));
  EXPECT_EQ(s.w.dialog.ranges[kIdOverallBar], 5u);
  EXPECT_EQ(s.w.dialog.TextsOf(kIdOverallPercent),
            (std::vector<std::string>{"20.00%", "40.00%", "60.00%", "80.00%", "100.00%"}));
  EXPECT_EQ(s.w.dialog.texts[kIdStatusLine], "正在下载 Script\\added.lua   5/5");
  EXPECT_EQ(s.engine->stepCounter, 1);
  // The installed manifest is read once per call, not once per entry.
  EXPECT_LE(s.w.manifests.loads, 4);
}

TEST(SyncManifestFiles, UpdateWithNothingChangedSaysNoUpdateNeeded) {
  UpdateSync s(ProgressMode::Update, kCommon, kCommon, kBank, kBank);
  ASSERT_TRUE(s.SyncBoth());
  EXPECT_TRUE(s.w.fetcher.calls.empty());
  EXPECT_EQ(s.w.dialog.texts[kIdStatusLine], "无需更新");
  EXPECT_EQ(s.w.dialog.texts[kIdFilePercent], "100%");
  EXPECT_EQ(s.w.dialog.texts[kIdOverallPercent], "100%");
  for (const int bar : {kIdFileBar, kIdOverallBar}) {
    EXPECT_EQ(s.w.dialog.ranges[bar], 1u);
    EXPECT_EQ(s.w.dialog.positions[bar], 1u);
  }
}

// A repair fetches each damaged file once: the bank pass does not fetch the common pass's files
// again.
TEST(SyncManifestFiles, UpdateAndRepairFetchEachFileOnce) {
  std::vector<ManifestEntry> common = kCommon;
  std::vector<ManifestEntry> bank = kBank;
  for (auto* list : {&common, &bank}) {
    for (ManifestEntry& e : *list) e.digest = Sha(e.digest.substr(0, 2) + "2");
  }
  struct Case {
    ProgressMode mode;
    std::vector<std::string> rels;
  };
  const Case cases[] = {
      {ProgressMode::Update, {"WebUI_867.exe", "Data\\skin.dat", "Plugins\\bank.dll"}},
      {ProgressMode::Repair, {"WebUI_867.exe", "Data\\skin.dat", "Plugins\\bank.dll"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.mode));
    UpdateSync s(c.mode, kCommon, common, kBank, bank);
    ASSERT_TRUE(s.SyncBoth());
    std::vector<std::string> rels;
    for (const auto& call : s.w.fetcher.calls) rels.push_back(call.path.substr(std::string("C:\\A\\DownLoad\\").size()));
    EXPECT_EQ(rels, c.rels);
  }
}

TEST(SyncManifestFiles, UpdateGoesOnAfterAFailedDownload) {
  std::vector<ManifestEntry> common = {{"", "a.exe", Sha("A2")}, {"", "b.exe", Sha("B2")}, {"", "c.exe", Sha("C2")}};
  UpdateSync s(ProgressMode::Update, {}, common, {}, {});
  s.w.fetcher.failing.insert("https://127.0.0.1/867/b.exe");
  EXPECT_FALSE(s.SyncBoth());
  EXPECT_EQ(s.w.fetcher.calls.size(), 3u);
  EXPECT_EQ(s.w.dialog.TextsOf(kIdStatusLine).back(), "正在下载 c.exe   3/3");
  EXPECT_EQ(s.w.dialog.texts[kIdCancelButton], "下载失败");
  EXPECT_TRUE(s.w.fs.Exists("C:\\A\\DownLoad\\c.exe"));
  EXPECT_FALSE(s.w.fs.Exists("C:\\A\\DownLoad\\b.exe"));
}

// Each file's dialog updates go in one batch: its name is handed on before the download waits
// for the server, and the batch (with the file's result) is on screen before the next file.
TEST(SyncManifestFiles, EachFileIsOneBatchShownBeforeTheNextFile) {
  const std::vector<ManifestEntry> files = {{"", "a.exe", Sha("A2")}, {"", "b.exe", Sha("B2")}};
  const auto steps = [](const Journal& journal) {
    std::vector<std::string> out;
    for (const std::string& line : journal) {
      if (line.rfind("batch ", 0) == 0 || line.rfind("download ", 0) == 0 || line.rfind("text 1020 ", 0) == 0) {
        out.push_back(line);
      }
    }
    return out;
  };
  InstallSync install(files);
  ASSERT_TRUE(install.engine->SyncManifestFiles(ManifestKind::kCommon));
  EXPECT_EQ(steps(install.w.journal),
            (std::vector<std::string>{"batch begin", "text 1020 正在下载 a.exe   1/2", "batch show",
                                      "download https://127.0.0.1/867//a.exe", "batch end", "batch begin",
                                      "text 1020 正在下载 b.exe   2/2", "batch show",
                                      "download https://127.0.0.1/867//b.exe", "batch end"}));
  UpdateSync update(ProgressMode::Update, {}, files, {}, {});
  update.w.fetcher.failing.insert("https://127.0.0.1/867/a.exe");
  EXPECT_FALSE(update.SyncBoth());
  EXPECT_EQ(steps(update.w.journal),
            (std::vector<std::string>{"batch begin", "text 1020 正在下载 a.exe   1/2", "batch show",
                                      "download https://127.0.0.1/867/a.exe", "text 1020 下载a.exe 失败",
                                      "batch end", "batch begin", "text 1020 正在下载 b.exe   2/2", "batch show",
                                      "download https://127.0.0.1/867/b.exe", "batch end"}));
}

// The files ahead of the one in turn are hinted to the fetcher, each with its folder made,
// never more than kDownloadsAhead ahead; the pop-up notifier's files and the downloader's own
// (which need a step before their download) only ever download in turn.
TEST(SyncManifestFiles, FilesAheadAreHintedWithTheirFoldersMade) {
  // The turn at which a URL was first hinted (the downloads before it), or -1.
  const auto firstHintTurn = [](const Journal& journal, const std::string& url) {
    int turn = 0;
    for (const std::string& line : journal) {
      if (line == "prefetch " + url) return turn;
      if (line.rfind("download ", 0) == 0) ++turn;
    }
    return -1;
  };
  const std::vector<ManifestEntry> entries = {
      {"", "a.exe", Sha("A")},           {"", "QzwardPop_867.exe", Sha("P")}, {"New\\Deep", "b.dll", Sha("B")},
      {"", "corlinq_867.exe", Sha("D")}, {"", "c.exe", Sha("C")},             {"", "d.exe", Sha("E")},
      {"", "e.exe", Sha("F")},           {"Data", "f.dat", Sha("G")}};
  InstallSync install(entries);
  ASSERT_TRUE(install.engine->SyncManifestFiles(ManifestKind::kCommon));
  EXPECT_EQ(install.w.fetcher.calls.size(), entries.size());  // each one still comes to its turn
  EXPECT_EQ(install.w.fetcher.hintsWithoutFolder, 0);
  std::set<std::string> hinted;
  for (const auto& hint : install.w.fetcher.prefetches) hinted.insert(hint.path);
  EXPECT_EQ(hinted, (std::set<std::string>{"C:\\A\\New\\Deep\\b.dll", "C:\\A\\c.exe", "C:\\A\\d.exe",
                                           "C:\\A\\e.exe", "C:\\A\\Data\\f.dat"}));
  for (const auto& hint : install.w.fetcher.prefetches) {
    const auto turn = std::find_if(install.w.fetcher.calls.begin(), install.w.fetcher.calls.end(),
                                   [&hint](const FakeFetcher::Call& call) { return call.path == hint.path; });
    ASSERT_NE(turn, install.w.fetcher.calls.end());
    EXPECT_EQ(hint.url, turn->url);
    EXPECT_EQ(hint.expectedDigest, turn->expectedDigest);
    const int index = static_cast<int>(turn - install.w.fetcher.calls.begin());
    EXPECT_EQ(firstHintTurn(install.w.journal, hint.url), std::max(0, index - static_cast<int>(kDownloadsAhead)))
        << hint.path;
  }

  // An update hints the staged files, with their digests.
  std::vector<ManifestEntry> changed;
  for (const char* tag : {"U1", "U2", "U3"}) changed.push_back({"", std::string(tag) + ".exe", Sha(tag)});
  UpdateSync update(ProgressMode::Update, {}, changed, {}, {});
  ASSERT_TRUE(update.SyncBoth());
  ASSERT_EQ(update.w.fetcher.prefetches.size(), 2u + 1u);  // U2 and U3 at U1's turn, U3 again at U2's
  EXPECT_EQ(update.w.fetcher.prefetches[0].path, "C:\\A\\DownLoad\\U2.exe");
  EXPECT_EQ(update.w.fetcher.prefetches[0].expectedDigest, Sha("U2"));
  EXPECT_EQ(firstHintTurn(update.w.journal, "https://127.0.0.1/867/U3.exe"), 0);

  // An install that stops at a failure tells the fetcher the hinted files are not needed.
  InstallSync failing(entries);
  failing.w.fetcher.failing.insert("https://127.0.0.1/867/New\\Deep/b.dll");
  EXPECT_FALSE(failing.engine->SyncManifestFiles(ManifestKind::kCommon));
  EXPECT_EQ(failing.w.fetcher.forgotten, 1);
}

TEST(SyncManifestFiles, UpdateRefusesAStagedManifestWithAnUnsafeEntry) {
  UpdateSync s(ProgressMode::Update, kCommon, {{"..", "x.exe", Sha("X")}}, kBank, kBank);
  EXPECT_FALSE(s.engine->SyncManifestFiles(ManifestKind::kCommon));
  EXPECT_TRUE(s.w.fetcher.calls.empty());
  EXPECT_EQ(s.w.dialog.texts[kIdStatusLine], "配置文件无效");
  EXPECT_EQ(s.w.dialog.texts[kIdCancelButton], "下载失败");
}

double ProcessorSeconds() {
  timespec now{};
  (void)clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

TEST(SyncManifestFiles, PlanningOneHundredThousandEntriesTakesUnderASecond) {
  constexpr int kEntries = 100'000;
  std::vector<ManifestEntry> installed;
  std::vector<ManifestEntry> fresh;
  installed.reserve(kEntries);
  fresh.reserve(kEntries);
  for (int i = 0; i < kEntries; ++i) {
    const std::string path = i % 4 == 0 ? "" : (i % 4 == 1 ? "Data" : (i % 4 == 2 ? "Plugins" : "Script"));
    const std::string name = "file" + std::to_string(i) + ".bin";
    const std::string digest = Sha("digest" + std::to_string(i));
    installed.push_back({path, name, digest});
    fresh.push_back({path, name, i % 10 == 0 ? Sha("new" + std::to_string(i)) : digest});  // every tenth changed
  }
  UpdateSync s(ProgressMode::Update, installed, fresh, {}, {});
  s.w.dialog.journal = nullptr;
  s.w.fs.journal = nullptr;
  // An update's common call plans only; the downloads follow in the bank call.
  // Processor time of this (single-threaded) test, so other work on a loaded machine does not
  // count against it; the wall time is printed beside it.
  // (std::clock is the wall time on Windows, so the process's processor clock is read instead.)
  const auto start = std::chrono::steady_clock::now();
  const double cpuStart = ProcessorSeconds();
  ASSERT_TRUE(s.engine->SyncManifestFiles(ManifestKind::kCommon));
  const double seconds = ProcessorSeconds() - cpuStart;
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("planning %d entries: %.3f s processor, %.3f s wall\n", kEntries, seconds, wall);
  EXPECT_EQ(s.engine->updateList.size(), static_cast<size_t>(kEntries / 10));
  EXPECT_TRUE(s.w.fetcher.calls.empty());
#if defined(__SANITIZE_ADDRESS__)
  EXPECT_LT(seconds, 5.0);  // instrumented build
#else
  EXPECT_LT(seconds, 1.0);
#endif
}

}  // namespace
}  // namespace corlinq::testing
