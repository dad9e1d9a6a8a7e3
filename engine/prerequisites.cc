// Runtime libraries and stopping the running assistant.
#include "base/strings.h"
#include "engine/install_engine.h"

namespace corlinq {
namespace {

bool RuntimePresent(Registry& registry, const char* key) {
  RegistryOpen open = registry.OpenKey(RegistryView::k32, key);
  return open.key && open.key->ReadString("Version").has_value();
}

}  // namespace

int InstallEngine::ProbeRuntimeNeeds(int& needX86, int& needX64) {
  // Where the probe cannot tell the architecture, the 64-bit runtime is decided by its key.
  int isX86 = 0;
  int isWin7Family = 0;
  const int r = ProbeOs(ports_.os, isX86, isWin7Family);
  if (r == 0) {
    needX86 = 1;
    needX64 = 1;
    return 0;
  }
  if (isWin7Family == 1) {
    needX86 = 0;
    needX64 = 0;
    return 1;
  }
  needX86 = RuntimePresent(ports_.registry, runtimes_.x86.presenceKey) ? 0 : 1;
  if (isX86) {
    needX64 = 0;
  } else {
    needX64 = RuntimePresent(ports_.registry, runtimes_.x64.presenceKey) ? 0 : 1;
  }
  return 1;
}

bool InstallEngine::InstallRuntimes(int needX86, int needX64) {
  FileSystem& files = ports_.files;
  Host& host = ports_.host;
  const std::string temp = files.TempFolder();
  const std::pair<int, const RuntimeInstaller*> runtimes[] = {{needX86, &runtimes_.x86}, {needX64, &runtimes_.x64}};
  bool all = true;
  for (const auto& [needed, installer] : runtimes) {
    if (!needed) continue;
    const std::string path = temp + installer->fileName;
    SetStatus(StrPrintf("正在下载 %s", installer->fileName));
    bool ok = ports_.fetcher.Download(installer->url, path, "", &dialog);
    if (ok) {
      // Started only when its content is the pinned one; anything else is removed unstarted.
      const std::optional<std::string> digest = files.FileDigest(path, DigestKind::kSha256Hex);
      const std::string pin = installer->sha256Hex;
      if (pin.empty() || !digest || *digest != pin) {
        host.Trace(StrPrintf("installer digest mismatch %s", installer->fileName), "Failed");
        (void)files.Remove(path);
        ok = false;
      }
    }
    if (ok) {
      ReportStepDone();
      host.Trace(installer->url, "Success");
      if (files.Exists(path)) {
        SetStatus(StrPrintf("正在安装 %s", installer->fileName));
        (void)ports_.processes.Start(path, "/q", false, 0);
      }
    } else {
      host.Trace(installer->url, "Failed");
      SetStatus(StrPrintf("下载%s 失败", installer->fileName));
      SetButtonText("下载VS库失败");
      all = false;
    }
  }
  return all;
}

bool InstallEngine::StopAssistantProcesses() {
  FileSystem& files = ports_.files;
  Host& host = ports_.host;
  ProcessControl& processes = ports_.processes;
  const std::string folder = installDir + "\\DownLoad\\";
  if (!files.IsFolder(folder) && !CreateDirectoryPath(files, host, folder)) return false;

  const std::string assistant = installDir + "\\" + config_.assistantExeName;
  if (files.Exists(assistant)) {
    WaitTrace(processes.Start(assistant, " -t", true, kStopInstanceWaitMs), assistant + " -t");
  }
  KillProcessByName(processes, config_.assistantExeName);

  const std::string popName = StrPrintf("QzwardPop_%x.exe", static_cast<unsigned>(config_.bankId));
  const std::string pop = installDir + "\\" + popName;
  if (files.Exists(pop)) WaitTrace(processes.Start(pop, " -t", true, kStopInstanceWaitMs), pop + " -t");
  KillProcessByName(processes, popName);
  WaitProgramsGone(processes, host, {config_.assistantExeName, popName}, kStoppedGoneWaitMs);
  return true;
}

}  // namespace corlinq
