// Fetching the signed manifests and bringing every listed file up to date.
#include <algorithm>

#include "base/strings.h"
#include "engine/install_engine.h"

namespace corlinq {

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

InstallEngine::LoadedManifest& InstallEngine::ManifestAt(const std::string& file) {
  const auto found = manifests_.find(file);
  if (found != manifests_.end()) return found->second;
  LoadedManifest loaded;
  loaded.load = ports_.manifests.Load(file);
  return manifests_.emplace(file, std::move(loaded)).first->second;
}

const InstallEngine::LoadedManifest* InstallEngine::UsableManifestAt(const std::string& file, std::string& why) {
  LoadedManifest& loaded = ManifestAt(file);
  if (!loaded.checked) {
    loaded.checked = true;
    if (loaded.load.status != ManifestLoad::Status::kLoaded) {
      loaded.why = loaded.load.error.empty() ? "not a manifest" : loaded.load.error;
    } else {
      // The port's reader applies the rules too; they are checked here again so that no reader
      // can hand the run an entry outside the install folder or one without a digest.
      loaded.usable = CheckManifestEntries(loaded.load.entries, loaded.why);
    }
  }
  why = loaded.why;
  return loaded.usable ? &loaded : nullptr;
}

void InstallEngine::ManifestStepFailed(const std::string& status) {
  SetStatus(status);
  SetButtonText("下载失败");
}

bool InstallEngine::ClearStagedFiles(const std::string& folder) {
  FileSystem& files = ports_.files;
  const std::optional<std::vector<FolderEntry>> entries = files.List(folder);
  // A folder that cannot be listed holds nothing this run will take: the commit takes only the
  // files this run staged, and each manifest's earlier copy goes before its download.
  if (!entries) {
    if (files.Exists(folder)) ports_.host.Trace("cannot list the staging folder", folder);
    return true;
  }
  bool cleared = true;
  for (const FolderEntry& entry : *entries) {
    const std::string full = folder + "\\" + entry.name;
    if (entry.isDirectory) {
      cleared = ClearStagedFiles(full) && cleared;
    } else if (!files.Remove(full) && files.Exists(full)) {
      ports_.host.Trace("DeleteFailed", full);
      cleared = false;
    }
  }
  return cleared;
}

bool InstallEngine::FetchManifests() {
  FileSystem& files = ports_.files;
  Host& host = ports_.host;
  // An update or repair always stages the new manifests: the installed ones are what the files
  // are compared with, and when they are missing every listed file is fetched. Writing the new
  // manifests over missing installed ones instead would make the comparison find nothing to do
  // and report an update that installed nothing as done.
  const bool staged = mode == ProgressMode::Update || mode == ProgressMode::Repair;
  // Whatever an earlier run left in the staging folder (manifests, partial files, files of
  // another release) is never used: the folder starts empty.
  if (staged && !ClearStagedFiles(stagingDir)) {
    host.Trace("Clear DownLoad Failed", "Failed");
    ManifestStepFailed("清理临时文件失败");
    return false;
  }
  const std::string& commonTarget = staged ? stagedCommonManifest : installedCommonManifest;
  const std::string& bankTarget = staged ? stagedBankManifest : installedBankManifest;
  const std::pair<const std::string&, const std::string&> manifests[] = {{commonManifestUrl, commonTarget},
                                                                         {bankManifestUrl, bankTarget}};
  for (const auto& [url, target] : manifests) {
    SetStatus(StrPrintf("正在下载 %s", "配置文件"));
    // Only what this run fetched and verified counts: an earlier copy at the destination is
    // gone before the download, so a download that reports success without writing the file
    // cannot leave an old manifest standing in for the new one.
    manifests_.erase(target);
    if (files.Exists(target) && !files.Remove(target)) {
      host.Trace("DeleteFailed", target);
      ManifestStepFailed(StrPrintf("下载%s 失败", "配置文件"));
      return false;
    }
    if (!ports_.fetcher.Download(url, target, "", nullptr)) {
      host.Trace("DownLoad XML Failed", "Failed");
      ManifestStepFailed(StrPrintf("下载%s 失败", "配置文件"));
      return false;
    }
    // A manifest that fails its check is removed, so no later step or run reads it.
    if (!ports_.manifests.VerifySignature(target)) {
      host.Trace("VerifyXMLSignature Failed", "Failed");
      (void)files.Remove(target);
      ManifestStepFailed("配置文件校验失败");
      return false;
    }
    // Signed is not enough: the signature leaves the last bytes unchecked, so a signed file may
    // still not be a manifest. One that cannot be read, lists no files where it has them, or
    // lists an entry the rules refuse fails the run; it never counts as an empty manifest.
    std::string why;
    if (UsableManifestAt(target, why) == nullptr) {
      host.Trace("Manifest refused: " + why, "Failed");
      manifests_.erase(target);
      (void)files.Remove(target);
      ManifestStepFailed("配置文件无效");
      return false;
    }
  }
  return AcceptRelease(commonTarget, bankTarget);
}

int InstallEngine::CountManifestEntries(ManifestKind kind) {
  const ManifestLoad& load =
      ManifestAt(kind == ManifestKind::kCommon ? installedCommonManifest : installedBankManifest).load;
  if (load.status != ManifestLoad::Status::kLoaded) return 0;
  return static_cast<int>(load.entries.size());
}

bool InstallEngine::SyncManifestFiles(ManifestKind kind) {
  FileSystem& files = ports_.files;
  Host& host = ports_.host;
  const bool install = mode == ProgressMode::Install;
  const std::string& installedManifest = kind == ManifestKind::kCommon ? installedCommonManifest : installedBankManifest;
  const std::string& stagedManifest = kind == ManifestKind::kCommon ? stagedCommonManifest : stagedBankManifest;

  std::string why;
  const LoadedManifest* usable = UsableManifestAt(install ? installedManifest : stagedManifest, why);
  if (usable == nullptr) {
    host.Trace("Manifest refused: " + why, "Failed");
    ManifestStepFailed("配置文件无效");
    return false;
  }

  EndProcessByName(ports_.processes, host, config_.assistantExeName);

  // A repair downloads what its common pass found in that pass; the bank pass fetches only what
  // it adds to the list, so no damaged file is fetched twice. The list keeps every staged file
  // for the commit.
  if (mode == ProgressMode::Repair && kind == ManifestKind::kBank) fetchedEarlier_ = updateList.size();

  bool result = true;
  // The installed manifest is the comparison for an update, read once per run. It only answers
  // "was this file listed with this digest": one that is missing or unreadable compares as
  // empty, so every listed file is fetched.
  const ManifestLoad noManifest;
  const InstalledManifestIndex installed(install ? noManifest : ManifestAt(installedManifest).load);

  const std::vector<ManifestEntry>& entries = usable->load.entries;
  // A file is downloaded ahead of its turn only when nothing comes before its download but its
  // folder: the pop-up notifier's files wait for its end, the downloader's own file is set aside.
  const auto notifierFile = [](const ManifestEntry& e) { return e.fileName.find("QzwardPop") != std::string::npos; };
  const auto plain = [&](const ManifestEntry& e) { return !notifierFile(e) && e.fileName != config_.downloaderExeName; };
  const auto folderOf = [this](const ManifestEntry& e) {
    return e.path.empty() ? installDir : installDir + "\\" + e.path;
  };
  const auto urlOf = [this](const ManifestEntry& e) { return baseUrl + "/" + e.path + "/" + e.fileName; };
  // Every missing level: a file two folders below a new folder must still find its place.
  size_t foldersReady = 0;  // entries before this one have their folders
  const auto prepareFolder = [&](size_t i) {
    if (i < foldersReady) return;
    const std::string folder = folderOf(entries[i]);
    if (!files.IsFolder(folder)) (void)CreateDirectoryPath(files, host, folder);
    foldersReady = i + 1;
  };
  for (size_t index = 0; index < entries.size(); ++index) {
    const ManifestEntry& entry = entries[index];
    const std::string rel = entry.path.empty() ? entry.fileName : entry.path + "\\" + entry.fileName;
    if (notifierFile(entry)) EndProcessByName(ports_.processes, host, entry.fileName);
    if (!install) {
      const std::string installedFile = installDir + "\\" + rel;
      if (!files.Exists(installedFile) || installed.EntryChanged(entry.path, entry.fileName, entry.digest) ||
          FileDigestDiffers(files, installedFile, entry.digest)) {
        updateList.push_back(rel);
        updateDigests_.push_back(entry.digest);
      }
      continue;
    }

    prepareFolder(index);
    for (size_t ahead = index + 1; ahead < entries.size() && ahead <= index + kDownloadsAhead; ++ahead) {
      if (!plain(entries[ahead])) continue;
      prepareFolder(ahead);
      ports_.fetcher.Prefetch(urlOf(entries[ahead]), folderOf(entries[ahead]) + "\\" + entries[ahead].fileName,
                              entries[ahead].digest);
    }
    const std::string destination = folderOf(entry) + "\\" + entry.fileName;
    const std::string url = urlOf(entry);
    // One file's updates go to the dialog together and are on screen before the next file.
    const ProgressBatch batch(dialog);
    SetStatus(StrPrintf("正在下载 %s   %d/%d", entry.fileName.c_str(), stepCounter, totalSteps));
    SetPercent(kIdFilePercent, "0%");
    if (entry.fileName == config_.downloaderExeName) {
      SetAsideOwnExecutable(files, host, installDir, config_.downloaderExeName);
    }
    dialog.ShowUpdates();  // the file's name is on screen while its answer is awaited
    if (ports_.fetcher.Download(url, destination, entry.digest, &dialog)) {
      ReportStepDone();
      host.Trace(url, "Success");
    } else {
      host.Trace(url, "Failed");
      SetStatus(StrPrintf("下载%s 失败", entry.fileName.c_str()));
      SetButtonText("下载失败");
      ports_.fetcher.ForgetPrefetched();
      result = false;
      break;
    }
  }

  if (install) return result;
  if (mode == ProgressMode::Update && kind == ManifestKind::kCommon) return true;
  if (updateList.size() == fetchedEarlier_) {
    if (fetchedEarlier_ > 0) return result;  // a repair's common pass fetched its files
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
  const size_t first = fetchedEarlier_;  // files of a repair's common pass are fetched already
  const size_t n = updateList.size() - first;
  // The whole count: a 16-bit range would wrap for long lists.
  dialog.SetProgressRange(kIdOverallBar, static_cast<uint32_t>(n));
  dialog.SetProgressPos(kIdOverallBar, 0);
  // The staging folder holds only the fixed subfolders; a file of any other folder needs its
  // own, or its update could never be staged.
  size_t foldersReady = 1;  // files before this one (counted from 1) have their folders
  const auto prepareFolder = [&](size_t j) {
    if (j < foldersReady) return;
    const std::string destination = stagingDir + "\\" + updateList[first + j - 1];
    const std::string folder = destination.substr(0, destination.rfind('\\'));
    if (!files.IsFolder(folder)) (void)CreateDirectoryPath(files, host, folder);
    foldersReady = j + 1;
  };
  for (size_t j = 1; j <= n; ++j) {
    const std::string& rel = updateList[first + j - 1];
    const std::string url = baseUrl + "/" + rel;
    const std::string destination = stagingDir + "\\" + rel;
    prepareFolder(j);
    for (size_t ahead = j + 1; ahead <= n && ahead <= j + kDownloadsAhead; ++ahead) {
      prepareFolder(ahead);
      const std::string& next = updateList[first + ahead - 1];
      ports_.fetcher.Prefetch(baseUrl + "/" + next, stagingDir + "\\" + next, updateDigests_[first + ahead - 1]);
    }
    const ProgressBatch batch(dialog);
    SetStatus(StrPrintf("正在下载 %s   %d/%d", rel.c_str(), static_cast<int>(j), static_cast<int>(n)));
    SetPercent(kIdFilePercent, "0%");
    dialog.ShowUpdates();
    if (ports_.fetcher.Download(url, destination, updateDigests_[first + j - 1], &dialog)) {
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
