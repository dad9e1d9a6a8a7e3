// A whole install run and a forced update over it, with the real registry, files, shell,
// processes and notifier pipe under Wine. Only the server side is stood in for: files are
// "downloaded" from a local folder (checked against the digest like the real download) and the
// manifests' entries are given directly.
#include <windows.h>

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>

#include "base/win/scoped_handle.h"
#include "base/win/wide.h"
#include "config/app_config.h"
#include "engine/engine_fakes.h"
#include "engine/install_engine.h"
#include "engine/win/win_ports.h"
#include "notifier/win/notifier_link_win.h"

namespace corlinq::win {
namespace {

// Serves URL -> local file, and keeps the download's promise: verified, or nothing left.
class LocalServer : public FileFetcher, public ManifestSource {
 public:
  explicit LocalServer(WinFileSystem& files) : files_(files) {}
  std::map<std::string, std::string> sources;                 // url -> local file
  std::map<std::string, std::vector<ManifestEntry>> manifests;  // manifest url -> entries

  bool Download(const std::string& url, const std::string& path, const std::string& expectedDigest,
                ProgressView*) override {
    const auto found = sources.find(url);
    if (found == sources.end()) return false;
    const std::string part = path + ".part";
    if (files_.Copy(found->second, part) != 0) return false;
    if (!expectedDigest.empty() && files_.FileDigest(part, DigestKind::kSha1Base64) != expectedDigest) {
      (void)files_.Remove(part);
      return false;
    }
    (void)files_.Remove(path);
    return files_.Move(part, path);
  }
  bool VerifySignature(const std::string& file) override { return files_.Exists(file); }
  ManifestLoad Load(const std::string& file) override {
    std::ifstream in(file, std::ios::binary);
    std::string url;
    std::getline(in, url);
    const auto found = manifests.find(url);
    if (found == manifests.end()) return {};
    return {ManifestLoad::Status::kLoaded, found->second};
  }

 private:
  WinFileSystem& files_;
};

class TestHost : public WinHost {
 public:
  std::vector<int> exits;
  void Exit(int code) override { exits.push_back(code); }
  void StartWorker(std::function<void()> worker) override { worker(); }
  void ShowMessage(const std::string& text, const std::string&) override { messages.push_back(text); }
  std::vector<std::string> messages;
};

void WriteText(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

TEST(InstallRunOnWindows, InstallThenForcedUpdate) {
  WinFileSystem files;
  WinRegistry registry;
  WinProcessControl processes;
  WinShell shell;
  WinOsInfo os;
  TestHost host;
  WinNotifierLink notifier;
  LocalServer server(files);
  testing::FakeDialog dialog;
  EnginePorts ports{server, server, files, registry, processes, shell, os, host, notifier};

  std::string peers = "Z:" CORLINQ_TEST_PEERS_DIR;
  for (char& c : peers) {
    if (c == '/') c = '\\';
  }
  const std::string source = files.TempFolder() + "corlinq_src_" + std::to_string(GetTickCount64());
  ASSERT_EQ(files.CreateFolder(source), 0);
  const std::string base = "https://127.0.0.1/867";
  WriteText(source + "\\Digest.xml", base + "/Digest.xml\n");
  WriteText(source + "\\Digest_867.xml", base + "/Digest_867.xml\n");
  WriteText(source + "\\bank_v1.dat", "bank data v1");
  WriteText(source + "\\bank_v2.dat", "bank data v2");
  server.sources[base + "/Digest.xml"] = source + "\\Digest.xml";
  server.sources[base + "/Digest_867.xml"] = source + "\\Digest_867.xml";
  std::vector<ManifestEntry> common;
  for (const char* exe : {"WebUI_867.exe", "QzwardPop.exe", "QzwardPop_867.exe"}) {
    const std::string file = peers + "\\" + exe;
    common.push_back({"", exe, files.FileDigest(file, DigestKind::kSha1Base64).value_or("")});
    server.sources[base + "//" + exe] = file;
    server.sources[base + "/" + exe] = file;
  }
  const auto bankEntry = [&](const char* version) {
    const std::string file = source + "\\" + version;
    server.sources[base + "/Data/bank.dat"] = file;
    server.sources[base + "/Data\\bank.dat"] = file;
    return ManifestEntry{"Data", "bank.dat", files.FileDigest(file, DigestKind::kSha1Base64).value_or("")};
  };
  server.manifests[base + "/Digest.xml"] = common;
  server.manifests[base + "/Digest_867.xml"] = {bankEntry("bank_v1.dat")};

  AppConfig config;
  ApplyBankProfile(config, 0x867);
  const std::string dir = files.TempFolder() + "corlinq_run_" + std::to_string(GetTickCount64());
  config.installDir = dir;
  config.downloadBaseUrl = base;
  config.serverVersion = "1.0.0.1";
  config.optDesktopShortcut = config.optStartMenuShortcut = config.optQuickLaunch = 1;
  config.optAutoStart = 1;

  {
    InstallRun run;
    StartInstallRun(run, dialog, config, ports, ProgressMode::Install, FindRuntimeProfile(0x867));
    EXPECT_EQ(run.workerDone, 1);
    EXPECT_EQ(host.exits, std::vector<int>{0});
    EXPECT_EQ(dialog.texts[kIdCancelButton], "下载完成");
    EXPECT_EQ(run.engine->totalSteps, 4);
  }
  EXPECT_EQ(ReadText(dir + "\\Data\\bank.dat"), "bank data v1");
  EXPECT_EQ(files.FileDigest(dir + "\\WebUI_867.exe", DigestKind::kSha1Base64), common[0].digest);
  EXPECT_TRUE(files.Exists(shell.GetFolder(ShellFolder::kCommonDesktop).value_or("") + "\\" + config.productName + ".lnk"));
  {
    RegistryOpen record = registry.OpenKey(RegistryView::k32, "Software\\\\Tollwyn\\WebUI\\MOVRA\\867");
    ASSERT_NE(record.key, nullptr);
    EXPECT_EQ(record.key->ReadString("Path"), std::optional<std::string>(dir));
    EXPECT_EQ(record.key->ReadString("Version"), std::optional<std::string>("1.0.0.1"));
  }
  // The run started the notifier and the assistant.
  bool listening = false;
  for (int i = 0; i < 200 && !listening; ++i) {
    listening = WaitNamedPipeW(Utf8ToWide(PopupPipeName("867")).c_str(), 100) != 0;
    if (!listening) ::Sleep(50);
  }
  ASSERT_TRUE(listening);
  EXPECT_NE(processes.FindProcessByName("WebUI_867.exe"), 0u);

  // A forced update: the notifier hears of it, only the changed file is fetched and committed.
  server.manifests[base + "/Digest_867.xml"] = {bankEntry("bank_v2.dat")};
  config.serverVersion = "1.0.0.2";
  config.updateFlag = 2;
  {
    InstallRun run;
    StartInstallRun(run, dialog, config, ports, ProgressMode::Update, FindRuntimeProfile(0x867));
    EXPECT_EQ(run.workerDone, 1);
    EXPECT_EQ(run.engine->updateList, std::vector<std::string>{"Data\\bank.dat"});
  }
  EXPECT_EQ(host.exits, (std::vector<int>{0, 0}));
  EXPECT_TRUE(host.messages.empty());
  EXPECT_EQ(ReadText(dir + "\\Data\\bank.dat"), "bank data v2");
  EXPECT_FALSE(files.Exists(dir + "\\DownLoad\\Data\\bank.dat"));
  EXPECT_NE(ReadText(dir + "\\QzwardPop.exe.messages.txt").find("MOVRA_PopUpdatePopCmd||\n"), std::string::npos);
  {
    RegistryOpen record = registry.OpenKey(RegistryView::k32, "Software\\\\Tollwyn\\WebUI\\MOVRA\\867");
    ASSERT_NE(record.key, nullptr);
    EXPECT_EQ(record.key->ReadString("Version"), std::optional<std::string>("1.0.0.2"));
  }

  // Leave nothing running.
  for (const char* exe : {"QzwardPop.exe", "WebUI_867.exe"}) {
    (void)processes.Start(dir + "\\" + exe, "-t", true, 20000);
  }
}

}  // namespace
}  // namespace corlinq::win
