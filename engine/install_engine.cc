// The engine record, its progress helpers and the free helpers over the ports.
#include "engine/install_engine.h"

#include "base/strings.h"

namespace corlinq {

InstallEngine::InstallEngine(ProgressView& view, const AppConfig& config, const EnginePorts& ports,
                             ProgressMode runMode, const RuntimeProfile& runtimes)
    : updateFlag(config.updateFlag),
      familyWord(config.familyWord),
      baseUrl(config.downloadBaseUrl),
      installDir(config.installDir),
      serverVersion(config.serverVersion),
      mode(runMode),
      dialog(view),
      config_(config),
      ports_(ports),
      runtimes_(runtimes) {
  ports_.host.EnterCom();
  if (baseUrl.empty()) baseUrl = FallbackValue("ServerURL");
  if (installDir.empty()) installDir = FallbackValue("Path");
  const std::string bankManifest = StrPrintf("Digest_%.3x.xml", static_cast<unsigned>(config.bankId));
  stagingDir = installDir + "\\DownLoad";
  commonManifestUrl = baseUrl + "/" + "Digest.xml";
  bankManifestUrl = baseUrl + "/" + bankManifest;
  stagedCommonManifest = installDir + "\\DownLoad\\" + "Digest.xml";
  stagedBankManifest = installDir + "\\DownLoad\\" + bankManifest;
  installedCommonManifest = installDir + "\\" + "Digest.xml";
  installedBankManifest = installDir + "\\" + bankManifest;
}

std::string InstallEngine::FallbackValue(const std::string& name) {
  RegistryOpen open = ports_.registry.OpenKey(RegistryView::k32, kFallbackKeyPrefix + familyWord);
  if (!open.key) return {};
  std::optional<std::string> value = open.key->ReadString(name);
  if (!value) return {};
  return *value;
}

void InstallEngine::Dispose() {
  if (disposed_) return;
  disposed_ = true;
  ports_.host.LeaveCom();
}

void InstallEngine::RefreshControl(int controlId) { dialog.RefreshControl(controlId); }

void InstallEngine::SetStatus(const std::string& text) {
  dialog.SetText(kIdStatusLine, text);
  RefreshControl(kIdStatusLine);
}

void InstallEngine::SetButtonText(const std::string& text) { dialog.SetText(kIdCancelButton, text); }

void InstallEngine::SetPercent(int controlId, const std::string& text) {
  dialog.SetText(controlId, text);
  RefreshControl(controlId);
}

void InstallEngine::ReportStepDone() {
  // With no steps counted there is nothing to divide; the bar is then simply full.
  const double percent = totalSteps > 0 ? static_cast<double>(stepCounter) / totalSteps * 100.0 : 100.0;
  SetPercent(kIdOverallPercent, StrPrintf("%.2f%%", percent));
  dialog.SetProgressPos(kIdOverallBar, static_cast<uint32_t>(stepCounter));
  ++stepCounter;
}

int InstallEngine::SendPopupCommand(const PopupCommand& request) {
  const std::string bankIdText = StrPrintf("%x", static_cast<unsigned>(config_.bankId));
  Host& host = ports_.host;
  return corlinq::SendPopupCommand(ports_.notifier, bankIdText, familyWord, request,
                                   [&host](const std::string& text, const std::string& argument) {
                                     host.Trace(text, argument);
                                   });
}

int InstallEngine::NotifyForcedUpdate() {
  if (mode != ProgressMode::Update || updateFlag != 2) return 1;
  const std::string assistant = installDir + "\\" + config_.assistantExeName;
  if (ports_.files.Exists(assistant)) {
    (void)ports_.processes.Start(assistant, "-t", false, 0);
  }
  (void)SendPopupCommand(PopupCommand{kUpdatePopCmd, "", 0, 0, 5000});
  ports_.host.Sleep(3000);
  return 1;
}

void InstallEngine::WaitTrace(WaitOutcome outcome, const std::string& what) {
  if (outcome == WaitOutcome::kTimedOut) ports_.host.Trace("still running after the wait: " + what, "TimeOut");
}

// ---- free helpers ----

bool CreateDirectoryPath(FileSystem& files, Host& host, const std::string& path) {
  if (path.empty()) return true;
  std::vector<std::string> components;
  size_t pos = path.find('\\');
  components.push_back(path.substr(0, pos));
  while (pos != std::string::npos) {
    while (pos < path.size() && path[pos] == '\\') ++pos;
    if (pos >= path.size()) break;
    const size_t next = path.find('\\', pos);
    components.push_back(path.substr(pos, next == std::string::npos ? std::string::npos : next - pos));
    pos = next;
  }
  if (files.IsFolder(path)) return true;
  std::string current = components[0];
  for (size_t i = 1; i < components.size(); ++i) {
    current += "\\" + components[i];
    if (files.IsFolder(current)) continue;
    const int error = files.CreateFolder(current);
    if (error != 0) {
      host.Trace(StrPrintf("创建文件夹失败 Path=%s, errcode=%d", current.c_str(), error), "FALSE");
      return false;
    }
  }
  return true;
}

bool DeleteFilesBelow(FileSystem& files, Host& host, const std::string& folder) {
  const std::optional<std::vector<FolderEntry>> entries = files.List(folder);
  if (!entries) return false;
  for (const FolderEntry& entry : *entries) {
    const std::string full = folder + "\\" + entry.name;
    if (entry.isDirectory) {
      if (!entry.name.empty() && entry.name[0] == '.') continue;
      (void)DeleteFilesBelow(files, host, full);
    } else if (!files.Remove(full)) {
      host.Trace("DeleteFailed", full);
    }
  }
  return true;
}

void EndProcessByName(ProcessControl& processes, Host& host, const std::string& imageName) {
  if (processes.TerminateFirst(imageName, 0, kEndProcessWaitMs) == WaitOutcome::kTimedOut) {
    host.Trace("still running after the wait: " + imageName, "TimeOut");
  }
}

void WaitProgramsGone(ProcessControl& processes, Host& host, const std::vector<std::string>& imageNames,
                      uint32_t waitMs) {
  if (processes.WaitUntilGone(imageNames, waitMs)) return;
  std::string names;
  for (const std::string& name : imageNames) names += (names.empty() ? "" : ", ") + name;
  host.Trace("still running after the wait: " + names, "TimeOut");
}

void KillProcessByName(ProcessControl& processes, const std::string& imageName) {
  (void)processes.TerminateFirst(imageName, 0xFFFFFFF7u, 0);
}

void SetAsideOwnExecutable(FileSystem& files, Host& host, const std::string& folder,
                           const std::string& downloaderExeName) {
  const std::string old = folder + "\\corlinq_old.exe";
  const std::string current = folder + "\\" + downloaderExeName;
  if (files.Exists(old) && !files.Remove(old)) host.Trace("DeleteFile Failed", old);
  if (files.Exists(current) && !files.Move(current, old)) host.Trace("MoveFile Failed", current);
}

bool ComputeFileDigest(FileSystem& files, const std::string& file, std::string& digest) {
  std::optional<std::string> value = files.FileDigest(file, DigestKind::kSha1Base64);
  if (!value) return false;
  digest = std::move(*value);
  return true;
}

bool FileDigestDiffers(FileSystem& files, const std::string& file, const std::string& digest) {
  std::string actual;
  if (!ComputeFileDigest(files, file, actual)) return true;
  return actual != digest;
}

int ProbeOs(OsInfo& os, int& isX86, int& isWin7Family) {
  isWin7Family = 0;
  const OsFacts facts = os.Query();
  if (!facts.versionKnown) return 1;
  if (facts.platformId != 2 || facts.major <= 4) return 0;
  if (facts.major != 6) return 1;
  if (facts.minor == 1 || facts.minor == 2) isWin7Family = 1;
  if (facts.architecture == 9) {
    isX86 = 0;
  } else if (facts.architecture == 0) {
    isX86 = 1;
  }
  return 1;
}

}  // namespace corlinq
