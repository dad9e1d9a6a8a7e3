// Engine steps with the real Win32 adapters under Wine: the registry entries in their views,
// shortcuts through the shell, and stopping the running assistant and pop-up notifier.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "base/win/scoped_handle.h"
#include "base/win/wide.h"
#include "config/app_config.h"
#include "engine/engine_fakes.h"
#include "engine/install_engine.h"
#include "engine/win/win_ports.h"
#include "notifier/win/notifier_link_win.h"

namespace corlinq::win {
namespace {

// The dialog is not under test here.
class NoDownloads : public FileFetcher, public ManifestSource {
 public:
  bool Download(const std::string&, const std::string&, const std::string&, ProgressView*) override { return false; }
  bool VerifySignature(const std::string&) override { return false; }
  ManifestLoad Load(const std::string&) override { return {}; }
};

std::optional<std::wstring> RawValue(const std::wstring& key, REGSAM view, const std::wstring& name) {
  ScopedHKey handle;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ | view, handle.receive()) != ERROR_SUCCESS) {
    return std::nullopt;
  }
  wchar_t buffer[512] = {};
  DWORD size = sizeof(buffer) - sizeof(wchar_t);
  if (RegQueryValueExW(handle.get(), name.c_str(), nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &size) !=
      ERROR_SUCCESS) {
    return std::nullopt;
  }
  return std::wstring(buffer);
}

struct WindowsWorld {
  testing::FakeDialog dialog;
  NoDownloads none;
  WinFileSystem files;
  WinRegistry registry;
  WinProcessControl processes;
  WinShell shell;
  WinOsInfo os;
  WinHost host;
  WinNotifierLink notifier;
  EnginePorts ports{none, none, files, registry, processes, shell, os, host, notifier};
  AppConfig config;
  std::string installDir;

  WindowsWorld() {
    ApplyBankProfile(config, 0x867);
    installDir = files.TempFolder() + "corlinq_engine_" + std::to_string(GetTickCount64());
    config.installDir = installDir;
    config.serverVersion = "2.0.0.7";
    config.downloadBaseUrl = "https://127.0.0.1";
    config.optDesktopShortcut = config.optStartMenuShortcut = config.optQuickLaunch = 1;
  }
  std::unique_ptr<InstallEngine> Engine(ProgressMode mode) {
    return std::make_unique<InstallEngine>(dialog, config, ports, mode, FindRuntimeProfile(config.bankId));
  }
};

TEST(EngineOnWindows, RegistryEntriesLandInTheirViews) {
  WindowsWorld w;
  w.config.optAutoStart = 1;
  ASSERT_TRUE(w.Engine(ProgressMode::Install)->WriteRegistryEntries());
  const std::wstring product = Utf8ToWide(w.config.productName);
  const std::wstring dir = Utf8ToWide(w.installDir);
  // The install record and the uninstall entry in the 32-bit view, the Run value in the 64-bit one.
  EXPECT_EQ(RawValue(L"Software\\Wow6432Node\\Tollwyn\\WebUI\\MOVRA\\867", KEY_WOW64_64KEY, L"Version"),
            std::optional<std::wstring>(L"2.0.0.7"));
  EXPECT_EQ(RawValue(L"Software\\Tollwyn\\WebUI\\MOVRA\\867", KEY_WOW64_64KEY, L"Version"), std::nullopt);
  EXPECT_EQ(RawValue(L"SOFTWARE\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\" + product,
                     KEY_WOW64_64KEY, L"UninstallString"),
            std::optional<std::wstring>(dir + L"\\uninst_867.exe"));
  EXPECT_EQ(RawValue(L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run", KEY_WOW64_64KEY, product),
            std::optional<std::wstring>(dir + L"\\QzwardPop_867.exe"));

  // Autostart off removes the value an earlier run left.
  w.config.optAutoStart = 0;
  ASSERT_TRUE(w.Engine(ProgressMode::Update)->WriteRegistryEntries());
  EXPECT_EQ(RawValue(L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run", KEY_WOW64_64KEY, product), std::nullopt);
}

TEST(EngineOnWindows, ShortcutsThroughTheShell) {
  WindowsWorld w;
  auto engine = w.Engine(ProgressMode::Install);
  engine->CreateShortcuts();
  const std::string desktop = w.shell.GetFolder(ShellFolder::kCommonDesktop).value_or("");
  const std::string programs = w.shell.GetFolder(ShellFolder::kCommonPrograms).value_or("");
  EXPECT_TRUE(w.files.Exists(desktop + "\\" + w.config.productName + ".lnk"));
  EXPECT_TRUE(w.files.Exists(programs + "\\" + w.config.installSubfolder + "\\" + w.config.productName + "卸载程序.lnk"));
  engine->Dispose();
}

TEST(EngineOnWindows, StopAssistantProcessesEndsBothPrograms) {
  WindowsWorld w;
  std::string peers = "Z:" CORLINQ_TEST_PEERS_DIR;
  for (char& c : peers) {
    if (c == '/') c = '\\';
  }
  ASSERT_TRUE(CreateDirectoryPath(w.files, w.host, w.installDir));
  for (const char* exe : {"WebUI_867.exe", "QzwardPop_867.exe"}) {
    ASSERT_EQ(w.files.Copy(peers + "\\" + exe, w.installDir + "\\" + exe), 0) << exe;
    ASSERT_EQ(w.processes.Start(w.installDir + "\\" + exe, "", true, 0), WaitOutcome::kStarted);
  }
  // Ready once their quit events exist.
  const auto ready = [](const wchar_t* name) {
    ScopedHandle quit(OpenEventW(SYNCHRONIZE, FALSE, (std::wstring(L"Local\\corlinq_peer_quit_") + name).c_str()));
    return quit.valid();
  };
  for (int i = 0; i < 300 && !(ready(L"webui_867.exe") && ready(L"qzwardpop_867.exe")); ++i) ::Sleep(50);
  ASSERT_NE(w.processes.FindProcessByName("QzwardPop_867.exe"), 0u);
  EXPECT_TRUE(w.Engine(ProgressMode::Update)->StopAssistantProcesses());
  EXPECT_TRUE(w.files.IsFolder(w.installDir + "\\DownLoad"));
  EXPECT_EQ(w.processes.FindProcessByName("WebUI_867.exe"), 0u);
  EXPECT_EQ(w.processes.FindProcessByName("QzwardPop_867.exe"), 0u);
}

}  // namespace
}  // namespace corlinq::win
