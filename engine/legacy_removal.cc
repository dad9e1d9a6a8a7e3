// Removing older assistants, moving the running downloader aside, and committing staged files.
#include <algorithm>
#include <cctype>

#include "base/strings.h"
#include "engine/install_engine.h"
#include "engine/legacy_table.h"

namespace corlinq {
namespace {

constexpr LegacyProduct kLegacyProducts[] = {
    {{0x42, 0x43, 0x44, 0x45},
     "卸载岭泽老版助手",
     "LinzeAssist.exe",
     "C:\\Program Files (x86)\\Linze Online Banking Assistant\\uninst.exe",
     "C:\\Program Files\\Linze Online Banking Assistant\\uninst.exe",
     "/S"},
    {{0x2c1, 0, 0, 0},
     "卸载澄江老版助手",
     "ChengjiangSafe.exe",
     "C:\\Program Files (x86)\\Chengjiang Safe Assistant\\uninst.exe",
     "C:\\Program Files\\Chengjiang Safe Assistant\\uninst.exe",
     "/S"},
};

// A product code as the platform installer takes it: a braced GUID and nothing else, so that
// nothing but the code reaches msiexec's command line.
bool IsBracedGuid(const std::string& text) {
  static constexpr char kShape[] = "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}";
  if (text.size() != sizeof(kShape) - 1) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    if (kShape[i] == 'X') {
      if (!std::isxdigit(static_cast<unsigned char>(text[i]))) return false;
    } else if (text[i] != kShape[i]) {
      return false;
    }
  }
  return true;
}

}  // namespace

const LegacyProduct* FindLegacyProduct(int bankId) {
  if (bankId == 0) return nullptr;
  for (const LegacyProduct& row : kLegacyProducts) {
    if (std::find(row.bankIds.begin(), row.bankIds.end(), bankId) != row.bankIds.end()) return &row;
  }
  return nullptr;
}

bool InstallEngine::RemoveLegacyAssistants() {
  if (mode != ProgressMode::Install || config_.legacyProductKey.empty()) return true;
  if (FindLegacyProduct(config_.bankId) != nullptr) {
    (void)RunLegacyRow();
  } else {
    (void)RunProductCodeRemoval();
  }
  return true;
}

bool InstallEngine::RunLegacyRow() {
  const LegacyProduct& row = *FindLegacyProduct(config_.bankId);
  FileSystem& files = ports_.files;
  SetStatus(row.statusText);
  EndProcessByName(ports_.processes, ports_.host, row.processName);
  const char* uninstaller = files.Exists(row.uninstaller64)   ? row.uninstaller64
                            : files.Exists(row.uninstaller32) ? row.uninstaller32
                                                              : nullptr;
  if (uninstaller == nullptr) return false;
  WaitTrace(ports_.processes.Start(uninstaller, row.parameters, true, kUninstallerWaitMs), uninstaller);
  const std::string current = files.CurrentFolder();
  const std::string parked = current + "\\QZupdate.exe";
  if (files.Exists(parked) && !files.Move(parked, current + "\\" + config_.downloaderExeName)) {
    ports_.host.Trace("MoveFile Failed", parked);
  }
  return true;
}

bool InstallEngine::RunProductCodeRemoval() {
  FileSystem& files = ports_.files;
  Host& host = ports_.host;
  std::string shortName = config_.productName;
  if (EndsWith(shortName, "网银助手")) shortName.resize(shortName.size() - std::string("网银助手").size());
  SetStatus("卸载" + shortName + "老版助手");
  if (!IsBracedGuid(config_.legacyProductKey)) {
    host.Trace("legacy product key is not a product code: " + config_.legacyProductKey, "FALSE");
    return false;
  }
  const std::string params = "/X" + config_.legacyProductKey + " /quiet";
  const std::string current = files.CurrentFolder();
  const std::string parked = current + "\\QZupdate.exe";
  if (files.Exists(parked)) (void)files.Remove(parked);
  const std::string script = current + "\\killprocess.vbs";
  if (files.Exists(script)) {
    (void)files.TruncateFile(script);
    host.Sleep(500);
  }
  const std::string ownPath = ports_.processes.OwnExecutablePath();
  const size_t slash = ownPath.find_last_of('\\');
  const std::string ownFile = slash == std::string::npos ? ownPath : ownPath.substr(slash + 1);
  const std::string own = current + "\\" + ownFile;
  if (files.Exists(own) && !files.Move(own, parked)) host.Trace("MoveFile Failed", own);
  WaitTrace(ports_.processes.Start("msiexec.exe", params, true, kUninstallerWaitMs), "msiexec.exe " + params);
  if (files.Exists(parked) && !files.Move(parked, current + "\\" + config_.downloaderExeName)) {
    host.Trace("rename failed", parked);
  }
  return true;
}

CommitResult InstallEngine::CommitStagedFiles() {
  if (mode == ProgressMode::Install) return {};
  CommitPlan plan;
  plan.folders = {installDir, stagingDir};
  plan.ownExeName = config_.downloaderExeName;
  plan.oldVersion = RecordedVersion();
  plan.newVersion = serverVersion;
  // Only what this run queued from the staged manifests, and the manifests themselves: nothing
  // else the staging folder may hold (a download's ".part" file, an older run's leftovers).
  plan.puts = updateList;
  std::vector<std::string> listed;
  bool newListKnown = true;
  for (const std::string* staged : {&stagedCommonManifest, &stagedBankManifest}) {
    plan.puts.push_back(staged->substr(stagingDir.size() + 1));
    const ManifestLoad& load = ManifestAt(*staged).load;  // as the run read it
    newListKnown = newListKnown && load.status == ManifestLoad::Status::kLoaded;
    for (const ManifestEntry& e : load.entries) {
      listed.push_back(ToLowerAscii(e.path.empty() ? e.fileName : e.path + "\\" + e.fileName));
    }
  }
  // A file the installed manifests list and the new ones do not is removed with the commit.
  for (const std::string* installed : {&installedCommonManifest, &installedBankManifest}) {
    if (!newListKnown) break;
    const ManifestLoad& load = ManifestAt(*installed).load;
    if (load.status != ManifestLoad::Status::kLoaded) continue;
    for (const ManifestEntry& e : load.entries) {
      if (!IsSafeRelativeFolder(e.path) || !IsSafeFileName(e.fileName)) continue;
      const std::string rel = e.path.empty() ? e.fileName : e.path + "\\" + e.fileName;
      if (std::find(listed.begin(), listed.end(), ToLowerAscii(rel)) == listed.end()) plan.deletes.push_back(rel);
    }
  }
  return CommitFiles(ports_.files, ports_.host, plan, [this] {
    if (!WriteInstallRecord()) return false;
    if (!WriteSystemEntries()) ports_.host.Trace("WriteRegistryEntries", "FALSE");
    return true;
  });
}

}  // namespace corlinq
