// Fetching the signed manifests and bringing every listed file up to date.
#include <algorithm>

#include "base/strings.h"
#include "engine/install_engine.h"

namespace corlinq {
namespace {

// A manifest the run may act on: loaded, and every entry placeable below the install folder.
bool EntriesAcceptable(const ManifestLoad& load) {
  if (load.status == ManifestLoad::Status::kInvalidEntry) return false;
  for (const ManifestEntry& entry : load.entries) {
    if (!IsSafeManifestEntry(entry)) return false;
  }
  return true;
}

}  // namespace

InstalledManifestIndex::InstalledManifestIndex(const ManifestLoad& load) {
  if (load.status != ManifestLoad::Status::kLoaded) return;
  byName_.reserve(load.entries.size());
  for (const ManifestEntry& entry : load.entries) {
    auto& paths = byName_[entry.fileName];
    const bool known = std::any_of(paths.begin(), paths.end(), [&](const auto& p) { return p.first == entry.path; });
    if (!known) paths.emplace_back(entry.path, entry.digest);  // the first listing counts
  }
}

bool InstalledManifestIndex::EntryChanged(const std::string& path, const std::string& fileName,
                                          const std::string& digest) const {
  const auto found = byName_.find(fileName);
  if (found == byName_.end()) return true;
  for (const auto& [listedPath, listedDigest] : found->second) {
    if (listedPath == path) return listedDigest != digest;
  }
  return true;
}

bool InstallEngine::FetchManifests() {
  FileSystem& files = ports_.files;
  // An update or repair always stages the new manifests: the installed ones are what the files
  // are compared with, and when they are missing every listed file is fetched. Writing the new
  // manifests over missing installed ones instead would make the comparison find nothing to do
  // and report an update that installed nothing as done.
  const bool staged = mode == ProgressMode::Update || mode == ProgressMode::Repair;
  const std::string& commonTarget = staged ? stagedCommonManifest : installedCommonManifest;
  const std::string& bankTarget = staged ? stagedBankManifest : installedBankManifest;
  const std::pair<const std::string&, const std::string&> manifests[] = {{commonManifestUrl, commonTarget},
                                                                         {bankManifestUrl, bankTarget}};
  for (const auto& [url, target] : manifests) {
    SetStatus(StrPrintf("正在下载 %s", "配置文件"));
    if (!ports_.fetcher.Download(url, target, "", nullptr)) {
      ports_.host.Trace("DownLoad XML Failed", "Failed");
      return false;
    }
    // A manifest that fails its check is removed, so no later step or run reads it.
    if (!ports_.manifests.VerifySignature(target)) {
      ports_.host.Trace("VerifyXMLSignature Failed", "Failed");
      (void)files.Remove(target);
      return false;
    }
    if (!EntriesAcceptable(ports_.manifests.Load(target))) {
      ports_.host.Trace("Manifest entry refused", "Failed");
      (void)files.Remove(target);
      return false;
    }
  }
  return AcceptRelease(commonTarget, bankTarget);
}

int InstallEngine::CountManifestEntries(ManifestKind kind) {
  const ManifestLoad load =
      ports_.manifests.Load(kind == ManifestKind::kCommon ? installedCommonManifest : installedBankManifest);
  if (load.status != ManifestLoad::Status::kLoaded) return 0;
  return static_cast<int>(load.entries.size());
}

bool InstallEngine::SyncManifestFiles(ManifestKind kind) {
  FileSystem& files = ports_.files;
  Host& host = ports_.host;
  const bool install = mode == ProgressMode::Install;
  const std::string& installedManifest = kind == ManifestKind::kCommon ? installedCommonManifest : installedBankManifest;
  const std::string& stagedManifest = kind == ManifestKind::kCommon ? stagedCommonManifest : stagedBankManifest;

  const ManifestLoad load = ports_.manifests.Load(install ? installedManifest : stagedManifest);
  if (!EntriesAcceptable(load)) {
    host.Trace("Manifest entry refused", "Failed");
    return false;
  }

  EndProcessByName(ports_.processes, host, config_.assistantExeName);

  bool result = true;
  // The installed manifest is the comparison for an update; it is read once per call.
  const InstalledManifestIndex installed(install ? ManifestLoad{} : ports_.manifests.Load(installedManifest));

  for (const ManifestEntry& entry : load.entries) {
    const std::string rel = entry.path.empty() ? entry.fileName : entry.path + "\\" + entry.fileName;
    if (entry.fileName.find("QzwardPop") != std::string::npos) {
      EndProcessByName(ports_.processes, host, entry.fileName);
    }
    if (!install) {
      const std::string installedFile = installDir + "\\" + rel;
      if (!files.Exists(installedFile) || installed.EntryChanged(entry.path, entry.fileName, entry.digest) ||
          FileDigestDiffers(files, installedFile, entry.digest)) {
        updateList.push_back(rel);
        updateDigests_.push_back(entry.digest);
      }
      continue;
    }

    const std::string folder = entry.path.empty() ? installDir : installDir + "\\" + entry.path;
    // Every missing level: a file two folders below a new folder must still find its place.
    if (!files.IsFolder(folder)) (void)CreateDirectoryPath(files, host, folder);
    const std::string destination = folder + "\\" + entry.fileName;
    const std::string url = baseUrl + "/" + entry.path + "/" + entry.fileName;
    SetStatus(StrPrintf("正在下载 %s   %d/%d", entry.fileName.c_str(), stepCounter, totalSteps));
    SetPercent(kIdFilePercent, "0%");
    if (entry.fileName == config_.downloaderExeName) {
      SetAsideOwnExecutable(files, host, installDir, config_.downloaderExeName);
    }
    if (ports_.fetcher.Download(url, destination, entry.digest, &dialog)) {
      ReportStepDone();
      host.Trace(url, "Success");
    } else {
      host.Trace(url, "Failed");
      SetStatus(StrPrintf("下载%s 失败", entry.fileName.c_str()));
      SetButtonText("下载失败");
      result = false;
      break;
    }
  }

  if (install) return result;
  if (mode == ProgressMode::Update && kind == ManifestKind::kCommon) return true;
  if (updateList.empty()) {
    for (const int bar : {kIdFileBar, kIdOverallBar}) {
      dialog.SetProgressRange(bar, 1);
      dialog.SetProgressPos(bar, 1);
    }
    SetStatus("无需更新");
    SetPercent(kIdFilePercent, "100%");
    SetPercent(kIdOverallPercent, "100%");
    return true;
  }
  return RunUpdateDownloads() && result;
}

bool InstallEngine::RunUpdateDownloads() {
  Host& host = ports_.host;
  FileSystem& files = ports_.files;
  bool result = true;
  const size_t n = updateList.size();
  // The whole count: a 16-bit range would wrap for long lists.
  dialog.SetProgressRange(kIdOverallBar, static_cast<uint32_t>(n));
  dialog.SetProgressPos(kIdOverallBar, 0);
  for (size_t j = 1; j <= n; ++j) {
    const std::string& rel = updateList[j - 1];
    const std::string url = baseUrl + "/" + rel;
    const std::string destination = stagingDir + "\\" + rel;
    // The staging folder holds only the fixed subfolders; a file of any other folder needs its
    // own, or its update could never be staged.
    const size_t cut = destination.rfind('\\');
    if (!files.IsFolder(destination.substr(0, cut))) {
      (void)CreateDirectoryPath(files, host, destination.substr(0, cut));
    }
    SetStatus(StrPrintf("正在下载 %s   %d/%d", rel.c_str(), static_cast<int>(j), static_cast<int>(n)));
    SetPercent(kIdFilePercent, "0%");
    if (ports_.fetcher.Download(url, destination, updateDigests_[j - 1], &dialog)) {
      SetPercent(kIdOverallPercent, StrPrintf("%.2f%%", static_cast<double>(j) / static_cast<double>(n) * 100.0));
      dialog.SetProgressPos(kIdOverallBar, static_cast<uint32_t>(j));
      host.Trace(url, "Success");
    } else {
      host.Trace(url, "Failed");
      SetStatus(StrPrintf("下载%s 失败", rel.c_str()));
      SetButtonText("下载失败");
      result = false;
    }
  }
  return result;
}

}  // namespace corlinq
