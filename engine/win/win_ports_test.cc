// The engine's Win32 adapters against the real calls under Wine: registry views, files and
// digests, shell links, the OS probe, and process control with the assistant stand-in.
#include <windows.h>
// After windows.h:
#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "base/win/scoped_handle.h"
#include "base/win/wide.h"
#include "engine/win/win_ports.h"

namespace corlinq::win {
namespace {

std::string PeersDir() {
  std::string dir = "Z:" CORLINQ_TEST_PEERS_DIR;
  for (char& c : dir) {
    if (c == '/') c = '\\';
  }
  return dir;
}

// Processes of that image name (the stand-ins are ready once their quit event exists).
int CountProcesses(const wchar_t* imageName) {
  ScopedHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof(entry);
  int count = 0;
  for (BOOL more = Process32FirstW(snapshot.get(), &entry); more; more = Process32NextW(snapshot.get(), &entry)) {
    if (CompareStringOrdinal(entry.szExeFile, -1, imageName, -1, TRUE) == CSTR_EQUAL) ++count;
  }
  return count;
}

bool PeerReady(const wchar_t* lowerImageName) {
  ScopedHandle quit(OpenEventW(SYNCHRONIZE, FALSE, (std::wstring(L"Local\\corlinq_peer_quit_") + lowerImageName).c_str()));
  return quit.valid();
}

template <typename Predicate>
bool Eventually(Predicate done, int ms = 15000) {
  for (int waited = 0; waited < ms; waited += 50) {
    if (done()) return true;
    ::Sleep(50);
  }
  return done();
}

TEST(WinRegistry, ViewsAreKeptApart) {
  WinRegistry registry;
  const std::string key = "Software\\\\Tollwyn\\WebUI\\CorlinqTest\\867";  // empty component
  {
    RegistryOpen created = registry.CreateKey(RegistryView::k32, key);
    ASSERT_NE(created.key, nullptr) << created.error;
    EXPECT_EQ(created.key->WriteString("Path", "C:\\恒澍\\助手"), 0);
    EXPECT_EQ(created.key->WriteString("Gone", "x"), 0);
    EXPECT_TRUE(created.key->DeleteValue("Gone"));
  }
  RegistryOpen read = registry.OpenKey(RegistryView::k32, key);
  ASSERT_NE(read.key, nullptr);
  EXPECT_EQ(read.key->ReadString("Path"), std::optional<std::string>("C:\\恒澍\\助手"));
  EXPECT_EQ(read.key->ReadString("Gone"), std::nullopt);
  EXPECT_EQ(registry.OpenKey(RegistryView::k64, key).key, nullptr);

  RegistryOpen run = registry.CreateKey(RegistryView::k64, "SOFTWARE\\CorlinqTest\\Run");
  ASSERT_NE(run.key, nullptr);
  EXPECT_EQ(run.key->WriteString("恒澍银行网银助手", "C:\\A\\QzwardPop_867.exe"), 0);
  EXPECT_EQ(registry.OpenKey(RegistryView::k32, "SOFTWARE\\CorlinqTest\\Run").key, nullptr);
}

TEST(WinFileSystem, FoldersFilesAndDigests) {
  WinFileSystem files;
  const std::string temp = files.TempFolder();
  ASSERT_FALSE(temp.empty());
  EXPECT_EQ(temp.back(), '\\');
  const std::string dir = temp + "corlinq_fs_" + std::to_string(GetTickCount64());
  ASSERT_EQ(files.CreateFolder(dir), 0);
  EXPECT_EQ(files.CreateFolder(dir), static_cast<int>(ERROR_ALREADY_EXISTS));
  EXPECT_TRUE(files.IsFolder(dir));
  ASSERT_EQ(files.CreateFolder(dir + "\\数据"), 0);
  const std::string file = dir + "\\数据\\abc.txt";
  ASSERT_TRUE(files.TruncateFile(file));
  {
    ScopedHandle h(CreateFileW(Utf8ToWide(file).c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(h.get(), "abc", 3, &written, nullptr));
  }
  EXPECT_EQ(files.FileDigest(file, DigestKind::kSha1Base64), std::optional<std::string>("qZk+NkcGgWq6PiVxeFDCbJzQ2J0="));
  EXPECT_EQ(files.FileDigest(file, DigestKind::kSha256Hex),
            std::optional<std::string>("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"));
  EXPECT_EQ(files.FileDigest(dir + "\\missing", DigestKind::kSha1Base64), std::nullopt);

  EXPECT_EQ(files.Copy(file, dir + "\\copy.txt"), 0);
  EXPECT_EQ(files.Copy(file, dir + "\\no\\copy.txt"), static_cast<int>(ERROR_PATH_NOT_FOUND));
  EXPECT_TRUE(files.Move(dir + "\\copy.txt", dir + "\\moved.txt"));
  const auto listed = files.List(dir);
  ASSERT_TRUE(listed.has_value());
  ASSERT_EQ(listed->size(), 2u);
  for (const FolderEntry& entry : *listed) {
    EXPECT_EQ(entry.isDirectory, entry.name == "数据") << entry.name;
  }
  EXPECT_FALSE(files.List(dir + "\\missing").has_value());
  EXPECT_TRUE(files.Remove(dir + "\\moved.txt"));
  EXPECT_FALSE(files.Exists(dir + "\\moved.txt"));
  EXPECT_TRUE(files.Exists(file));
}

TEST(WinFileSystem, DurableWritesMovesAndHeldFiles) {
  WinFileSystem files;
  const std::string dir = files.TempFolder() + "corlinq_commit_" + std::to_string(GetTickCount64());
  ASSERT_EQ(files.CreateFolder(dir), 0);
  const std::string journal = dir + "\\commit.journal";
  ASSERT_TRUE(files.WriteFileDurably(journal, "first\n"));
  ASSERT_TRUE(files.WriteFileDurably(journal, "second\ndone\n"));  // replaces it whole
  EXPECT_EQ(files.ReadFile(journal), std::optional<std::string>("second\ndone\n"));
  EXPECT_FALSE(files.Exists(journal + ".new"));
  EXPECT_EQ(files.ReadFile(dir + "\\missing"), std::nullopt);
  EXPECT_FALSE(files.WriteFileDurably(dir + "\\no\\journal", "x"));

  // A new file moved over an installed one.
  const std::string staged = dir + "\\staged.dll";
  const std::string target = dir + "\\目标.dll";
  ASSERT_TRUE(files.WriteFileDurably(staged, "new"));
  ASSERT_TRUE(files.WriteFileDurably(target, "old"));
  EXPECT_TRUE(files.CanReplace(target));
  EXPECT_TRUE(files.CanReplace(dir + "\\missing"));
  {
    // Held open by another program, without sharing, or even with read sharing only.
    for (const DWORD share : {DWORD{0}, DWORD{FILE_SHARE_READ}}) {
      ScopedHandle held(CreateFileW(Utf8ToWide(target).c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING, 0, nullptr));
      ASSERT_TRUE(held.valid());
      EXPECT_FALSE(files.CanReplace(target)) << share;
    }
  }
  EXPECT_TRUE(files.MoveDurably(staged, target));
  EXPECT_EQ(files.ReadFile(target), std::optional<std::string>("new"));
  EXPECT_FALSE(files.Exists(staged));
  EXPECT_FALSE(files.MoveDurably(staged, target));  // nothing left to move
}

TEST(WinShell, FoldersAndLinks) {
  WinHost host;
  host.EnterCom();
  WinShell shell;
  for (const ShellFolder which : {ShellFolder::kCommonDesktop, ShellFolder::kCommonPrograms, ShellFolder::kAppData}) {
    const auto folder = shell.GetFolder(which);
    ASSERT_TRUE(folder.has_value());
    EXPECT_FALSE(folder->empty());
  }
  WinFileSystem files;
  const std::string link = files.TempFolder() + "恒澍银行网银助手.lnk";
  EXPECT_TRUE(shell.CreateLink("C:\\A\\WebUI_867.exe", link));
  EXPECT_TRUE(shell.CreateLink("C:\\A\\WebUI_867.exe", link));  // replaced
  EXPECT_TRUE(files.Exists(link));
  shell.NotifyFolderCreated(files.TempFolder() + "group");
  host.LeaveCom();
}

TEST(WinOsInfo, ReportsAnNtSystem) {
  const OsFacts facts = WinOsInfo().Query();
  EXPECT_TRUE(facts.versionKnown);
  EXPECT_EQ(facts.platformId, 2u);
  EXPECT_GE(facts.major, 6u);
  EXPECT_EQ(facts.architecture, 9);
}

TEST(WinProcessControl, StartFindStopAndTerminate) {
  WinProcessControl processes;
  const std::string peer = PeersDir() + "\\WebUI_867.exe";
  ASSERT_EQ(GetFileAttributesW(Utf8ToWide(peer).c_str()) == INVALID_FILE_ATTRIBUTES, false) << peer;
  EXPECT_NE(processes.OwnExecutablePath().find("engine_win_tests.exe"), std::string::npos);

  // A " -t" instance ends the running one and then ends itself.
  ASSERT_EQ(processes.Start(peer, "", true, 0), WaitOutcome::kStarted);
  ASSERT_TRUE(Eventually([&] { return processes.FindProcessByName("webui_867.EXE") != 0 && PeerReady(L"webui_867.exe"); }));
  EXPECT_EQ(processes.Start(peer, " -t", true, 20000), WaitOutcome::kEnded);
  EXPECT_TRUE(Eventually([&] { return processes.FindProcessByName("WebUI_867.exe") == 0; }));

  // Terminating touches the first match only.
  ASSERT_EQ(processes.Start(peer, "", true, 0), WaitOutcome::kStarted);
  ASSERT_EQ(processes.Start(peer, "", true, 0), WaitOutcome::kStarted);
  ASSERT_TRUE(Eventually([&] { return CountProcesses(L"WebUI_867.exe") == 2 && PeerReady(L"webui_867.exe"); }));
  EXPECT_EQ(processes.TerminateFirst("WEBUI_867.exe", 0, 10000), WaitOutcome::kEnded);
  EXPECT_EQ(CountProcesses(L"WebUI_867.exe"), 1);
  EXPECT_EQ(processes.TerminateFirst("WebUI_867.exe", 0xFFFFFFF7u, 0), WaitOutcome::kStarted);
  EXPECT_TRUE(Eventually([&] { return processes.FindProcessByName("WebUI_867.exe") == 0; }));
  EXPECT_EQ(processes.TerminateFirst("WebUI_867.exe", 0, 1000), WaitOutcome::kNotStarted);

  // A program that outlasts its bound is reported, not waited for.
  ASSERT_EQ(processes.Start(peer, "", true, 300), WaitOutcome::kTimedOut);
  ASSERT_TRUE(Eventually([&] { return PeerReady(L"webui_867.exe"); }));
  EXPECT_EQ(processes.Start(peer, "-t", true, 20000), WaitOutcome::kEnded);
  EXPECT_TRUE(Eventually([&] { return CountProcesses(L"WebUI_867.exe") == 0; }));
  EXPECT_EQ(processes.Start(PeersDir() + "\\absent.exe", "", true, 0), WaitOutcome::kNotStarted);
}

TEST(WinProcessControl, WaitUntilGoneWaitsForTheProcessesThemselves) {
  WinProcessControl processes;
  const std::string peer = PeersDir() + "\\WebUI_867.exe";
  EXPECT_TRUE(processes.WaitUntilGone({"WebUI_867.exe", "absent.exe"}, 0));

  ASSERT_EQ(processes.Start(peer, "", true, 0), WaitOutcome::kStarted);
  ASSERT_EQ(processes.Start(peer, "", true, 0), WaitOutcome::kStarted);
  ASSERT_TRUE(Eventually([&] { return CountProcesses(L"WebUI_867.exe") == 2 && PeerReady(L"webui_867.exe"); }));
  // Running programs outlast a short bound; the call comes back when it ran out.
  EXPECT_FALSE(processes.WaitUntilGone({"absent.exe", "webui_867.EXE"}, 300));
  EXPECT_EQ(CountProcesses(L"WebUI_867.exe"), 2);

  // Terminated without waiting: when the call returns, the snapshot holds neither.
  EXPECT_EQ(processes.TerminateFirst("WebUI_867.exe", 0xFFFFFFF7u, 0), WaitOutcome::kStarted);
  EXPECT_EQ(processes.TerminateFirst("WebUI_867.exe", 0xFFFFFFF7u, 0), WaitOutcome::kStarted);
  EXPECT_TRUE(processes.WaitUntilGone({"absent.exe", "WebUI_867.exe"}, 20000));
  EXPECT_EQ(CountProcesses(L"WebUI_867.exe"), 0);
}

}  // namespace
}  // namespace corlinq::win
