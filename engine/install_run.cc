// One run from its start to its end, in a fixed order of steps.
#include "base/strings.h"
#include "engine/install_engine.h"

namespace corlinq {

void StartInstallRun(InstallRun& run, DialogView& dialog, const AppConfig& config, const EnginePorts& ports,
                     ProgressMode mode, const RuntimeProfile& runtimes,
                     const std::function<void(InstallEngine&)>& onEngineReady) {
  run.engine = std::make_unique<InstallEngine>(dialog, config, ports, mode, runtimes);
  (void)run.engine->NotifyForcedUpdate();
  if (onEngineReady) onEngineReady(*run.engine);
  run.workerDone = 0;
  ports.host.StartWorker([&run] { (void)InstallWorker(run); });
}

int InstallWorker(InstallRun& run) {
  InstallEngine& engine = *run.engine;
  const AppConfig& config = engine.config();
  const EnginePorts& ports = engine.ports();
  DialogView& dialog = engine.dialog;

  run.workerDone = 0;                                                    // 1
  (void)engine.RemoveLegacyAssistants();                                 // 2
  if (!CreateDirectoryPath(ports.files, ports.host, config.installDir)) {  // 3
    run.workerDone = 1;
    return 0;
  }
  engine.CreateAssistantFolders();  // 4
  if (!engine.FetchManifests()) {   // 5
    run.workerDone = 1;
    return 0;
  }
  int needX86 = 0;
  int needX64 = 0;
  (void)engine.ProbeRuntimeNeeds(needX86, needX64);  // 6
  engine.totalSteps = engine.CountManifestEntries(ManifestKind::kBank) +
                      engine.CountManifestEntries(ManifestKind::kCommon) + needX86 + needX64;  // 7
  dialog.SetProgressRange(kIdOverallBar, static_cast<uint32_t>(engine.totalSteps));           // 8
  dialog.SetProgressPos(kIdOverallBar, 0);
  (void)engine.InstallRuntimes(needX86, needX64);  // 9
  for (const ManifestKind kind : {ManifestKind::kCommon, ManifestKind::kBank}) {  // 10, 11
    if (!engine.SyncManifestFiles(kind)) {
      ports.host.Trace("下载相关文件失败", "FALSE");
      run.workerDone = 1;
      return 0;
    }
  }
  if (!engine.StopAssistantProcesses()) return 0;  // 12, workerDone stays 0
  if (!engine.CommitStagedFiles()) {  // 13: a failed copy has ended the process
    if (engine.exitRequested) return 0;
    ports.host.Trace("CommitStagedFiles", "FALSE");
  }
  (void)engine.ClearStagingFolder();    // 14
  (void)engine.WriteRegistryEntries();  // 15
  engine.Dispose();                     // 16
  engine.SetButtonText("下载完成");      // 17
  run.workerDone = 1;
  if (engine.mode != ProgressMode::Repair) engine.CreateShortcuts();  // 18
  engine.SetStatus("完成安装,准备启动助手");                          // 19
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
