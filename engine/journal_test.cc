// The journaled commit: its journal text, an update stopped dead at every change it makes and
// finished by the next start, held files, and what the commit never takes from the staging folder.
#include <gtest/gtest.h>

#include <map>

#include "engine/engine_fakes.h"

namespace corlinq::testing {
namespace {

constexpr const char* kRecordKey = "Software\\\\Tollwyn\\WebUI\\MOVRA\\867";

TEST(CommitJournal, TextRoundTripsAndPartialTextsAreRefused) {
  const CommitJournal journal{"1.0.0.0",
                              "2.0.0.1",
                              {{CommitAction::kPut, "Data\\new dir\\n.bin"},
                               {CommitAction::kReplace, "Digest.xml"},
                               {CommitAction::kSelf, "corlinq_867.exe"},
                               {CommitAction::kDelete, "Tools\\gone.dll"}},
                              false};
  const std::string text = FormatJournal(journal);
  const std::optional<CommitJournal> back = ParseJournal(text);
  ASSERT_TRUE(back.has_value());
  EXPECT_EQ(back->oldVersion, "1.0.0.0");
  EXPECT_EQ(back->newVersion, "2.0.0.1");
  EXPECT_EQ(back->items, journal.items);
  EXPECT_FALSE(back->done);
  CommitJournal done = journal;
  done.done = true;
  EXPECT_TRUE(ParseJournal(FormatJournal(done)).value_or(CommitJournal{}).done);

  const std::string refused[] = {
      "",
      text.substr(0, text.size() - 1),         // the last line cut short
      text.substr(0, text.find("end\n")),      // no end line
      "corlinq commit journal 2\n" + text.substr(text.find('\n') + 1),
      text + "done\nmore\n",
      std::string(text).replace(text.find("put "), 4, "copy "),
  };
  for (const std::string& bad : refused) {
    SCOPED_TRACE(bad);
    EXPECT_FALSE(ParseJournal(bad).has_value());
  }
}

// Releases with nested folders, a new folder two levels deep, a file the new release drops and
// the running downloader's own file.
const std::vector<ManifestEntry> kOldCommon = {{"", "corlinq_867.exe", Sha("X1")},
                                               {"", "WebUI_867.exe", Sha("W1")},
                                               {"Data\\a", "deep.bin", Sha("D1")},
                                               {"Plugins", "p.dll", Sha("P1")},
                                               {"Tools", "gone.dll", Sha("G1")}};
const std::vector<ManifestEntry> kOldBank = {{"Script", "s.js", Sha("S1")}};
const std::vector<ManifestEntry> kNewCommon = {{"", "corlinq_867.exe", Sha("X2")},
                                               {"", "WebUI_867.exe", Sha("W2")},
                                               {"Data\\a", "deep.bin", Sha("D2")},
                                               {"Data\\new\\sub", "n.bin", Sha("N2")},
                                               {"Plugins", "p.dll", Sha("P1")}};
const std::vector<ManifestEntry> kNewBank = {{"Script", "s.js", Sha("S2")}};

using Tree = std::map<std::string, std::string>;  // relative path -> what the file is

// The installed tree as the customer sees it: everything but the staging folder and the
// set-aside downloader.
Tree InstalledTree(const FakeFileSystem& fs) {
  Tree tree;
  const std::string prefix = std::string(World::kDir) + "\\";
  for (const auto& [path, file] : fs.files) {
    if (path.rfind(prefix, 0) != 0) continue;
    const std::string rel = path.substr(prefix.size());
    if (rel.rfind("DownLoad\\", 0) == 0 || rel == kSetAsideFileName) continue;
    tree[rel] = file.sha1 + "|" + file.content;
  }
  return tree;
}

Tree ReleaseTree(const std::string& commonDoc, const std::string& bankDoc, const std::vector<ManifestEntry>& common,
                 const std::vector<ManifestEntry>& bank) {
  Tree tree{{"Digest.xml", "|" + commonDoc}, {"Digest_867.xml", "|" + bankDoc}};
  for (const auto* entries : {&common, &bank}) {
    for (const ManifestEntry& e : *entries) {
      tree[e.path.empty() ? e.fileName : e.path + "\\" + e.fileName] = e.digest + "|";
    }
  }
  return tree;
}

// A machine with the old release installed and recorded, the running downloader started from
// the install folder, and the new release on the server.
void OldReleaseAndNewOnServer(World& w) {
  w.Install(ManifestKind::kCommon, "old-common", kOldCommon);
  w.Install(ManifestKind::kBank, "old-bank", kOldBank);
  w.fs.files["C:\\A\\corlinq_867.exe"].locked = true;  // running: can be renamed, not overwritten
  w.registry.keys[{RegistryView::k32, kRecordKey}] = {{"Version", "1.0.0.0"}, {"Path", "C:\\A"}, {"BankID", "867"}};
  w.Publish(ManifestKind::kCommon, "common", kNewCommon);
  w.Publish(ManifestKind::kBank, "bank", kNewBank);
  w.ServeFiles(kNewCommon);
  w.ServeFiles(kNewBank);
}

std::string RecordVersion(const World& w) {
  const FakeRegistry::Values* record = w.registry.Find(RegistryView::k32, kRecordKey);
  if (record == nullptr || record->count("Version") == 0) return {};
  return record->at("Version");
}

void RunUpdate(World& w) {
  InstallRun run;
  StartInstallRun(run, w.dialog, w.config, w.ports, ProgressMode::Update, w.runtimes);
}

TEST(JournaledCommit, AnUpdateStoppedAtAnyChangeEndsWhollyOldOrWhollyNew) {
  const Tree oldTree = ReleaseTree("old-common", "old-bank", kOldCommon, kOldBank);
  const Tree newTree = ReleaseTree("common", "bank", kNewCommon, kNewBank);

  int changes = 0;
  {
    World w;
    OldReleaseAndNewOnServer(w);
    RunUpdate(w);
    ASSERT_EQ(w.host.exits, std::vector<int>{0});
    ASSERT_EQ(InstalledTree(w.fs), newTree);
    changes = w.crash.changes;
  }
  ASSERT_GT(changes, 0);

  std::string first, last;
  for (int n = 0; n <= changes; ++n) {
    SCOPED_TRACE("stopped after change " + std::to_string(n));
    World w;
    OldReleaseAndNewOnServer(w);
    w.crash.allowed = n;
    RunUpdate(w);
    // The next start: the disk is as the stop left it, and nothing fails any more.
    w.crash.allowed = -1;
    const std::string recorded = RecordVersion(w);
    const Recovery recovery = RecoverCommit(w.fs, w.host, {"C:\\A", "C:\\A\\DownLoad"}, recorded);
    EXPECT_NE(recovery, Recovery::kUnfinished);
    EXPECT_FALSE(w.fs.Exists("C:\\A\\DownLoad\\commit.journal"));

    const Tree tree = InstalledTree(w.fs);
    const std::string version = RecordVersion(w);
    if (tree == oldTree) {
      EXPECT_EQ(version, "1.0.0.0");
      EXPECT_FALSE(w.fs.Exists("C:\\A\\corlinq_old.exe"));
      EXPECT_TRUE(w.fs.files["C:\\A\\corlinq_867.exe"].sha1 == Sha("X1"));
      if (first.empty()) first = "old";
      last = "old";
    } else {
      EXPECT_EQ(tree, newTree) << "neither the old nor the new release";
      EXPECT_EQ(version, "2.0.0.1");
      EXPECT_EQ(w.fs.files["C:\\A\\corlinq_old.exe"].sha1, Sha("X1"));  // the running downloader, set aside
      if (first.empty()) first = "new";
      last = "new";
    }
    for (const auto& [path, file] : w.fs.files) {
      EXPECT_EQ(path.find("\\.backup\\"), std::string::npos) << path;  // no backup outlives its commit
    }
  }
  EXPECT_EQ(first, "old");
  EXPECT_EQ(last, "new");
}

TEST(JournaledCommit, AHeldFileStopsTheCommitBeforeAnythingIsReplaced) {
  World w;
  OldReleaseAndNewOnServer(w);
  w.fs.files["C:\\A\\Script\\s.js"].locked = true;  // another program holds it open
  const Tree oldTree = InstalledTree(w.fs);
  InstallRun run;
  StartInstallRun(run, w.dialog, w.config, w.ports, ProgressMode::Update, w.runtimes);
  EXPECT_EQ(InstalledTree(w.fs), oldTree);
  EXPECT_EQ(w.fs.files["C:\\A\\corlinq_867.exe"].sha1, Sha("X1"));
  EXPECT_FALSE(w.fs.Exists("C:\\A\\corlinq_old.exe"));
  EXPECT_EQ(RecordVersion(w), "1.0.0.0");
  EXPECT_EQ(w.host.messages,
            std::vector<std::string>{"恒澍银行网银助手: 更新失败，助手文件Script\\s.js被占用，请关闭恒澍银行网银助手后重新更新!"});
  EXPECT_EQ(w.host.exits, std::vector<int>{0});
  EXPECT_EQ(run.workerDone, 1);
  EXPECT_EQ(w.dialog.texts[kIdStatusLine], "Script\\s.js 被占用");
  EXPECT_EQ(w.dialog.texts[kIdCancelButton], "下载失败");
  EXPECT_FALSE(w.fs.Exists("C:\\A\\DownLoad\\commit.journal"));

  // Once it is released the next update goes through.
  World again;
  OldReleaseAndNewOnServer(again);
  again.fs = w.fs;
  again.fs.journal = &again.journal;
  again.fs.clock = &again.crash;
  again.fs.files["C:\\A\\Script\\s.js"].locked = false;
  again.fs.files["C:\\A\\corlinq_867.exe"].locked = true;
  RunUpdate(again);
  EXPECT_EQ(InstalledTree(again.fs), ReleaseTree("common", "bank", kNewCommon, kNewBank));
  EXPECT_EQ(RecordVersion(again), "2.0.0.1");
}

TEST(JournaledCommit, TakesOnlyWhatTheStagedManifestsListAndThisRunQueued) {
  World w;
  OldReleaseAndNewOnServer(w);
  // Left in the staging folder by a run that was killed during its downloads.
  w.fs.AddFile("C:\\A\\DownLoad\\Data\\a\\deep.bin.69e33b28.part", FakeFile{"", "partial", "", true, false});
  w.fs.AddFile("C:\\A\\DownLoad\\Plugins\\unlisted.dll", FakeFile{"", "U", "", true, false});
  w.fs.AddFile("C:\\A\\DownLoad\\Plugins\\p.dll", FakeFile{"", "stale", "", true, false});  // not queued
  RunUpdate(w);
  EXPECT_EQ(InstalledTree(w.fs), ReleaseTree("common", "bank", kNewCommon, kNewBank));
}

TEST(JournaledCommit, AStagingFolderThatCannotBeListedStillCommitsEveryQueuedFile) {
  World w;
  OldReleaseAndNewOnServer(w);
  w.fs.listFails = true;
  RunUpdate(w);
  EXPECT_EQ(InstalledTree(w.fs), ReleaseTree("common", "bank", kNewCommon, kNewBank));
  EXPECT_EQ(RecordVersion(w), "2.0.0.1");
}

TEST(JournaledCommit, AMissingStagedFileLeavesTreeAndRecordAlone) {
  World w;
  OldReleaseAndNewOnServer(w);
  w.fs.AddFolderPath("C:\\A\\DownLoad");
  auto engine = w.Engine(ProgressMode::Update);
  ASSERT_TRUE(engine->FetchManifests());
  engine->updateList = {"Script\\s.js"};  // queued, but never staged
  const Tree before = InstalledTree(w.fs);
  const CommitResult result = engine->CommitStagedFiles();
  EXPECT_EQ(result.status, CommitResult::Status::kMissing);
  EXPECT_EQ(result.rel, "Script\\s.js");
  EXPECT_EQ(InstalledTree(w.fs), before);
  EXPECT_EQ(RecordVersion(w), "1.0.0.0");
}

TEST(JournaledCommit, AFailedMoveOrRecordPutsEverythingBack) {
  struct Case {
    const char* name;
    std::function<void(World&)> breakIt;
    CommitResult::Status status;
  };
  const Case cases[] = {
      {"the record cannot be written", [](World& w) { w.registry.failWrite["Version"] = 5; },
       CommitResult::Status::kRecordFailed},
      {"a new file cannot be placed",
       [](World& w) { w.fs.failPlace.insert("C:\\A\\DownLoad\\Script\\s.js"); },
       CommitResult::Status::kFailed},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    World w;
    OldReleaseAndNewOnServer(w);
    w.fs.AddFolderPath("C:\\A\\DownLoad\\Script");
    auto engine = w.Engine(ProgressMode::Update);
    ASSERT_TRUE(engine->FetchManifests());  // starts from an empty staging folder
    w.fs.AddFile("C:\\A\\DownLoad\\Script\\s.js", FakeFile{"", Sha("S2"), "", true, false});
    w.fs.AddFile("C:\\A\\DownLoad\\WebUI_867.exe", FakeFile{"", Sha("W2"), "", true, false});
    engine->updateList = {"WebUI_867.exe", "Script\\s.js"};
    c.breakIt(w);
    const Tree before = InstalledTree(w.fs);
    EXPECT_EQ(engine->CommitStagedFiles().status, c.status);
    EXPECT_EQ(InstalledTree(w.fs), before);
    EXPECT_EQ(RecordVersion(w), "1.0.0.0");
    EXPECT_FALSE(w.fs.Exists("C:\\A\\DownLoad\\commit.journal"));
  }
}

TEST(Recovery, FinishesAJournalOneWayOrTheOther) {
  // The installed tree half way through: a.dll placed, b.dll still old, c.dll's old copy in the
  // backup folder with the new one still staged.
  struct Case {
    const char* name;
    const char* record;
    bool done;
    Recovery outcome;
    std::map<std::string, std::string> after;  // install folder file -> digest
  };
  const Case cases[] = {
      {"record still old: back", "1.0.0.0", false, Recovery::kRolledBack,
       {{"a.dll", "A1"}, {"b.dll", "B1"}, {"c.dll", "C1"}}},
      {"record new: forward", "2.0.0.1", false, Recovery::kRolledForward,
       {{"a.dll", "A2"}, {"b.dll", "B2"}, {"c.dll", "C2"}}},
      {"done mark: forward", "1.0.0.0", true, Recovery::kRolledForward,
       {{"a.dll", "A2"}, {"b.dll", "B2"}, {"c.dll", "C2"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    World w;
    w.fs.AddFile("C:\\A\\a.dll", FakeFile{"", "A2", "", true, false});
    w.fs.AddFile("C:\\A\\DownLoad\\.backup\\a.dll", FakeFile{"", "A1", "", true, false});
    w.fs.AddFile("C:\\A\\b.dll", FakeFile{"", "B1", "", true, false});
    w.fs.AddFile("C:\\A\\DownLoad\\b.dll", FakeFile{"", "B2", "", true, false});
    w.fs.AddFile("C:\\A\\DownLoad\\.backup\\c.dll", FakeFile{"", "C1", "", true, false});
    w.fs.AddFile("C:\\A\\DownLoad\\c.dll", FakeFile{"", "C2", "", true, false});
    const CommitJournal journal{"1.0.0.0",
                                "2.0.0.1",
                                {{CommitAction::kReplace, "a.dll"},
                                 {CommitAction::kReplace, "c.dll"},
                                 {CommitAction::kReplace, "b.dll"}},
                                c.done};
    ASSERT_TRUE(w.fs.WriteFileDurably("C:\\A\\DownLoad\\commit.journal", FormatJournal(journal)));
    EXPECT_EQ(RecoverCommit(w.fs, w.host, {"C:\\A", "C:\\A\\DownLoad"}, c.record), c.outcome);
    for (const auto& [name, digest] : c.after) EXPECT_EQ(w.fs.files["C:\\A\\" + name].sha1, digest) << name;
    EXPECT_FALSE(w.fs.Exists("C:\\A\\DownLoad\\commit.journal"));
    EXPECT_FALSE(w.fs.Exists("C:\\A\\DownLoad\\.backup\\a.dll"));
    EXPECT_TRUE(w.host.Traced(c.outcome == Recovery::kRolledBack ? "RecoverRolledBack 1.0.0.0"
                                                                  : "RecoverRolledForward 2.0.0.1"));
  }

  World w;
  EXPECT_EQ(RecoverCommit(w.fs, w.host, {"C:\\A", "C:\\A\\DownLoad"}, "1.0.0.0"), Recovery::kNone);
  w.fs.AddFile("C:\\A\\DownLoad\\commit.journal", FakeFile{"garbage", "", "", true, false});
  EXPECT_EQ(RecoverCommit(w.fs, w.host, {"C:\\A", "C:\\A\\DownLoad"}, "1.0.0.0"), Recovery::kUnfinished);
  EXPECT_TRUE(w.fs.Exists("C:\\A\\DownLoad\\commit.journal"));  // kept, nothing guessed
}

TEST(SweepPartFiles, RemovesOnlyTheDownloadsTemporaryFiles) {
  World w;
  const std::pair<const char*, bool> files[] = {
      {"C:\\A\\Data\\d000.bin.69e33b28.part", true},
      {"C:\\A\\DownLoad\\Data\\deep\\x.dll.0000abcd.part", true},
      {"C:\\A\\Data\\d000.bin", false},
      {"C:\\A\\Data\\notes.part", false},
      {"C:\\A\\Data\\x.69e33b2.part", false},
      {"C:\\A\\Data\\x.69e33b2g.part", false},
  };
  for (const auto& [path, swept] : files) w.fs.AddFile(path, FakeFile{});
  SweepPartFiles(w.fs, w.host, "C:\\A");
  for (const auto& [path, swept] : files) EXPECT_EQ(w.fs.Exists(path), !swept) << path;
}

TEST(RecoverAtStartup, SweepsOnlyAFolderThatLooksLikeAnInstallation) {
  World w;
  w.fs.AddFile("C:\\Other\\x.bin.0000abcd.part", FakeFile{});
  EXPECT_EQ(RecoverAtStartup(w.fs, w.host, "C:\\Other", "1.0.0.0"), Recovery::kNone);
  EXPECT_TRUE(w.fs.Exists("C:\\Other\\x.bin.0000abcd.part"));
  EXPECT_EQ(RecoverAtStartup(w.fs, w.host, "C:\\Missing", "1.0.0.0"), Recovery::kNone);

  // An update killed during its downloads: the staged .part goes, the installed tree stays.
  w.fs.AddFile("C:\\A\\Digest.xml", FakeFile{"old-common", "", "", true, false});
  w.fs.AddFile("C:\\A\\DownLoad\\Data\\d000.bin.69e33b28.part", FakeFile{});
  EXPECT_EQ(RecoverAtStartup(w.fs, w.host, "C:\\A", "1.0.0.0"), Recovery::kNone);
  EXPECT_FALSE(w.fs.Exists("C:\\A\\DownLoad\\Data\\d000.bin.69e33b28.part"));
  EXPECT_TRUE(w.fs.Exists("C:\\A\\Digest.xml"));
}

}  // namespace
}  // namespace corlinq::testing
