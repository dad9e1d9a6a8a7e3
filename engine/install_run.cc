// One run from its start to its end, in a fixed order of steps.
#include "base/strings.h"
#include "engine/install_engine.h"

namespace corlinq {

void StartInstallRun(InstallRun& run, ProgressView& dialog, const AppConfig& config, const EnginePorts& ports,
                     ProgressMode mode, const RuntimeProfile& runtimes,
                     const std::function<void(InstallEngine&)>& onEngineReady) {
  run.engine = std::make_unique<InstallEngine>(dialog, config, ports, mode, runtimes);
  (void)run.engine->NotifyForcedUpdate();
  if (onEngineReady) onEngineReady(*run.engine);
  run.workerDone = 0;
  ports.host.StartWorker([&run] { (void)InstallWorker(run); });
}

namespace {

// An early stop: the failing step's text (when it did not write its own), "下载失败" on the
// button, an empty file bar, and workerDone 1, so closing the dialog asks nothing.
int Stop(InstallRun& run, const std::string& status) {
  InstallEngine& engine = *run.engine;
  if (!status.empty()) engine.SetStatus(status);
  engine.SetButtonText("下载失败");
  engine.dialog.SetProgressPos(kIdFileBar, 0);
  engine.dialog.SetText(kIdFilePercent, "0%");
  engine.RefreshControl(kIdFilePercent);
  run.workerDone = 1;
  return 0;
}

// The commit's stops. A held file also gets the message box, and the process ends once it is
// dismissed; nothing has been replaced then.
int StopAfterCommit(InstallRun& run, const CommitResult& result) {
  InstallEngine& engine = *run.engine;
  const AppConfig& config = engine.config();
  Host& host = engine.ports().host;
  const char* rel = result.rel.c_str();
  switch (result.status) {
    case CommitResult::Status::kCommitted:
      return 0;
    case CommitResult::Status::kMissing:
      return Stop(run, StrPrintf("缺少%s 更新失败", rel));
    case CommitResult::Status::kFailed:
      return Stop(run, result.rel.empty() ? std::string("更新失败") : StrPrintf("更新%s 失败", rel));
    case CommitResult::Status::kRecordFailed:
      return Stop(run, "写入安装记录失败");
    case CommitResult::Status::kHeld:
      (void)Stop(run, StrPrintf("%s 被占用", rel));
      host.ShowMessage(HeldFileMessage(config, result.rel), config.productName);
      engine.exitRequested = true;
      host.Exit(0);
      return 0;
  }
  return 0;
}

}  // namespace

std::string HeldFileMessage(const AppConfig& config, const std::string& rel) {
  return StrPrintf("更新失败，助手文件%s被占用，请关闭%s后重新更新!", rel.c_str(), config.productName.c_str());
}

int InstallWorker(InstallRun& run) {
  InstallEngine& engine = *run.engine;
  const AppConfig& config = engine.config();
  const EnginePorts& ports = engine.ports();
  ProgressView& dialog = engine.dialog;

  run.workerDone = 0;                                                    // 1
  (void)engine.RemoveLegacyAssistants();                                 // 2
  if (!CreateDirectoryPath(ports.files, ports.host, config.installDir)) {  // 3
    return Stop(run, "创建安装目录失败");
  }
  engine.CreateAssistantFolders();               // 4
  if (!engine.FetchManifests()) return Stop(run, "");  // 5: the step writes its own text
  int needX86 = 0;
  int needX64 = 0;
  (void)engine.ProbeRuntimeNeeds(needX86, needX64);  // 6
  engine.totalSteps = engine.CountManifestEntries(ManifestKind::kBank) +
                      engine.CountManifestEntries(ManifestKind::kCommon) + needX86 + needX64;  // 7
  dialog.SetProgressRange(kIdOverallBar, static_cast<uint32_t>(engine.totalSteps));           // 8
  dialog.SetProgressPos(kIdOverallBar, 0);
  // 9: a runtime that could not be installed does not stop the run, but the end says so.
  const bool runtimesInstalled = engine.InstallRuntimes(needX86, needX64);
  for (const ManifestKind kind : {ManifestKind::kCommon, ManifestKind::kBank}) {  // 10, 11
    if (!engine.SyncManifestFiles(kind)) {
      ports.host.Trace("下载相关文件失败", "FALSE");
      return Stop(run, "");  // the step has written which file failed
    }
  }
  // 12: the last download's text would otherwise stay up while the programs are stopped and the
  // files are put in place, as if a download were still running.
  engine.SetStatus("正在关闭助手");
  if (!engine.StopAssistantProcesses()) return Stop(run, "创建下载目录失败");
  // 13: update and repair also write the registry entries inside the commit, between the last
  // file moved and the journal's "done" mark.
  if (engine.mode != ProgressMode::Install) engine.SetStatus("正在更新文件");
  const CommitResult commit = engine.CommitStagedFiles();
  if (commit.status != CommitResult::Status::kCommitted) return StopAfterCommit(run, commit);
  (void)engine.ClearStagingFolder();                                        // 14
  if (engine.mode == ProgressMode::Install) (void)engine.WriteRegistryEntries();  // 15
  engine.Dispose();                                                         // 16
  if (runtimesInstalled) engine.SetButtonText("下载完成");                  // 17
  run.workerDone = 1;
  if (engine.mode != ProgressMode::Repair) engine.CreateShortcuts();  // 18
  engine.SetStatus(runtimesInstalled ? "完成安装,准备启动助手" : "完成安装,未装VS库,准备启动助手");  // 19
  WaitProgramsGone(ports.processes, ports.host, {"QzwardPop.exe", config.assistantExeName},  // 20
                   kBeforeRestartWaitMs);
  StartAssistant(config, ports.processes, ports.files, ports.host);   // 21
  ports.host.Exit(0);                                                 // 22
  return 0;
}

void StartAssistant(const AppConfig& config, ProcessControl& processes, FileSystem& files, Host& host) {
  for (const std::string& name : {std::string("QzwardPop.exe"), config.assistantExeName}) {
    const std::string path = config.installDir + "\\" + name;
    if (!files.Exists(path)) continue;
    (void)processes.Start(path, "-t", false, 0);
    WaitProgramsGone(processes, host, {name}, kRestartWaitMs);
    (void)processes.Start(path, "", false, 0);
  }
}

}  // namespace corlinq
