#include "app/win/app_ports_win.h"

#include <windows.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "app/win/startup_ports_win.h"
#include "base/win/scoped_handle.h"
#include "base/win/wide.h"
#include "config/app_config.h"
#include "config/build_constants.h"
#include "engine/runtime_table.h"
#include "engine/win/win_ports.h"
#include "manifest/manifest_entries.h"
#include "manifest/manifest_load.h"
#include "manifest/manifest_verify.h"
#include "notifier/win/notifier_link_win.h"
#include "protocol/bind_callback.h"
#include "protocol/download.h"
#include "protocol/download_prefetch.h"
#include "protocol/platform_transport.h"
#include "protocol/http_client.h"
#include "protocol/version_reply.h"
#include "ui/win/dialogs.h"
#include "ui/win/ui_hooks.h"

namespace corlinq::win {
namespace {

// Downloads through the protocol's DownloadFile, verified against the manifest's digest, with
// the progress shown in the run's dialog. Files hinted ahead are fetched by two helpers, one try
// each; a file whose early try failed is downloaded again in its turn, with every try.
class DownloadFetcher : public FileFetcher {
 public:
  bool Download(const std::string& url, const std::string& path, const std::string& expectedDigest,
                ProgressView* progress) override {
    std::optional<CBindCallback> sink;
    if (progress != nullptr) sink.emplace(*progress);
    DownloadProgressSink* const shown = sink ? &*sink : nullptr;
    if (const std::optional<bool> early = Ahead().Take({url, path, expectedDigest}, shown); early && *early) {
      return true;
    }
    return DownloadFile(url, path, shown, expectedDigest);
  }

  void Prefetch(const std::string& url, const std::string& path, const std::string& expectedDigest) override {
    (void)Ahead().Add({url, path, expectedDigest});
  }

  void ForgetPrefetched() override { Ahead().Forget(); }

 private:
  static constexpr size_t kHelpers = 2;
  static constexpr size_t kHeld = 4;  // hinted files fetched or waiting at once

  // Never destroyed: its helpers may be downloading when the process ends.
  static DownloadPrefetch& Ahead() {
    static DownloadPrefetch* const ahead = new DownloadPrefetch(
        [](const PrefetchItem& item, DownloadProgressSink& sink) {
          DownloadOptions options;
          options.expectedDigest = item.expectedDigest;
          return DownloadStoredOnce(PlatformHttpPort(), item.url, item.path, &sink, options);
        },
        kHelpers, kHeld);
    return *ahead;
  }
};

// The signed manifests: signature check with the built-in key, entries through the reader and
// its entry rules.
class SignedManifestSource : public ManifestSource {
 public:
  bool VerifySignature(const std::string& file) override { return VerifyManifestFile(file, ManifestPublicKey()); }

  ManifestLoad Load(const std::string& file) override {
    ManifestLoad load = LoadManifestFile(file);
    if (load.status != ManifestLoad::Status::kLoaded) TraceLine("manifest " + file + ": " + load.error);
    return load;
  }
};

struct EngineAdapters {
  DownloadFetcher fetcher;
  SignedManifestSource manifests;
  WinFileSystem files;
  WinRegistry registry;
  WinProcessControl processes;
  WinShell shell;
  WinOsInfo os;
  WinHost host;
  WinNotifierLink notifier;
  EnginePorts ports{fetcher, manifests, files, registry, processes, shell, os, host, notifier};
};

EngineAdapters& Adapters() {
  static EngineAdapters adapters;
  return adapters;
}

// One install run bound to a progress dialog. Runs stay alive until the process ends: a worker
// that stopped early leaves its record behind, and a dialog closed meanwhile must not free it.
class EngineProgressRun : public ProgressRun {
 public:
  void Start(std::shared_ptr<ProgressSession> session) override {
    session_ = std::move(session);
    run_ = std::make_unique<InstallRun>(session_->workerDone);
    StartInstallRun(*run_, *session_->view, TheAppConfig(), TheEnginePorts(), session_->mode,
                    FindRuntimeProfile(TheAppConfig().bankId));
  }

 private:
  std::shared_ptr<ProgressSession> session_;
  std::unique_ptr<InstallRun> run_;
};

std::shared_ptr<ProgressRun> CreateRun(ProgressMode) {
  static std::mutex lock;
  static std::vector<std::shared_ptr<ProgressRun>> keep;
  auto run = std::make_shared<EngineProgressRun>();
  const std::lock_guard<std::mutex> guard(lock);
  keep.push_back(run);
  return run;
}

VersionAnswer QueryVersion() {
  const AppConfig& config = TheAppConfig();
  std::string reply;
  if (SendServerRequest(config.requestPath, VersionQueryText(config.bankId), reply) == 0 || reply.empty()) {
    return {VersionAnswer::Kind::kNoAnswer, {}, {}};
  }
  TraceLine("Data:(" + reply + ")");
  VersionReply fields;
  if (!ParseVersionReply(reply, fields)) return {VersionAnswer::Kind::kUnopenable, {}, {}};
  return {VersionAnswer::Kind::kOk, fields.v, fields.url};
}

}  // namespace

const EnginePorts& TheEnginePorts() { return Adapters().ports; }

void InstallUiHooks() {
  UiHooks hooks;
  hooks.queryVersion = QueryVersion;
  hooks.createRun = CreateRun;
  hooks.browserRunning = [] { return Adapters().processes.FindProcessByName(kBrowserExe) != 0; };
  hooks.endBrowser = [] { corlinq::KillProcessByName(Adapters().processes, kBrowserExe); };
  hooks.abandonRun = [] {
    // The install worker may be waiting for this thread (its progress goes to the dialog by
    // sent messages): serve those while the downloads end.
    AbandonDownloads(std::chrono::seconds(3), [] {
      MSG message;
      (void)PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE);
    });
  };
  SetUiHooks(std::move(hooks));
}

void RecoverInstallation(LaunchPorts& ports) {
  std::string version;
  std::string path;
  if (!ports.ReadInstallRecord(InstallRecordKeyPath(TheAppConfig()), version, path)) return;
  (void)RecoverAtStartup(Adapters().files, Adapters().host, path, version);
}

bool LaunchPortsWin::ReadInstallRecord(const std::string& keyPath, std::string& version, std::string& path) {
  RegistryOpen open = Adapters().registry.OpenKey(RegistryView::k32, keyPath);
  if (!open.key) return false;
  std::optional<std::string> versionValue = open.key->ReadString("Version");
  if (!versionValue) return false;
  std::optional<std::string> pathValue = open.key->ReadString("Path");
  if (!pathValue) return false;
  version = *versionValue;
  path = *pathValue;
  return true;
}

bool LaunchPortsWin::SendVersionQuery(const std::string& queryText, std::string& reply) {
  return SendServerRequest(TheAppConfig().requestPath, queryText, reply) == 1;
}

bool LaunchPortsWin::FindProcess(const std::string& exeName, uint32_t& processId) {
  processId = Adapters().processes.FindProcessByName(exeName);
  return processId != 0;
}

void LaunchPortsWin::TerminateProcessId(uint32_t processId) {
  ScopedHandle process(OpenProcess(PROCESS_TERMINATE, FALSE, processId));
  if (process) TerminateProcess(process.get(), static_cast<UINT>(-9));
}

void LaunchPortsWin::KillProcessByName(const std::string& exeName) {
  corlinq::KillProcessByName(Adapters().processes, exeName);
}

Answer LaunchPortsWin::AskYesNo(const std::string& text, const std::string& caption) {
  const int answer = MessageBoxW(nullptr, Utf8ToWide(text).c_str(), Utf8ToWide(caption).c_str(), MB_YESNO);
  return answer == IDNO ? Answer::kNo : Answer::kYes;
}

void LaunchPortsWin::RunUpdateDialog(int reinstallMode) {
  CUpdateDlg dialog(reinstallMode);
  (void)dialog.DoModal(nullptr);
}

void LaunchPortsWin::RunProgressDialog(ProgressMode mode) {
  CProgressDlg dialog(mode);
  (void)dialog.DoModal(nullptr);
}

void LaunchPortsWin::Trace(const std::string& text) { TraceLine(text); }

void LaunchPortsWin::ExitNormally() { std::exit(0); }

}  // namespace corlinq::win
