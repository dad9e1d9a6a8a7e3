#pragma once
// The record of one install, update or repair run and its steps. A run writes into its progress
// dialog only through the progress view port (engine/progress_view.h) and reaches the system only through the ports of
// engine/ports.h, so every decision here runs natively under test.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "config/app_config.h"
#include "engine/journal.h"
#include "engine/ports.h"
#include "engine/progress_mode.h"
#include "engine/progress_view.h"
#include "engine/release_check.h"
#include "engine/runtime_table.h"
#include "notifier/popup_link.h"

namespace corlinq {

// Bounds on waits for programs the run starts or ends. When one runs out the run goes on and
// says so in the trace.
// Files a download loop hints to the fetcher ahead of the one in turn.
inline constexpr size_t kDownloadsAhead = 4;
inline constexpr uint32_t kStopInstanceWaitMs = 60'000;   // a " -t" instance
inline constexpr uint32_t kUninstallerWaitMs = 600'000;   // a legacy uninstaller or msiexec
inline constexpr uint32_t kEndProcessWaitMs = 30'000;     // a process terminated by name
// Until the assistant's programs stopped for the commit are gone (they hold the files it replaces).
inline constexpr uint32_t kStoppedGoneWaitMs = 2'000;
// Before the assistant is started again, until the stopped programs are gone.
inline constexpr uint32_t kBeforeRestartWaitMs = 1'000;
// Until a "-t" instance and the instance it ends are gone, before the program starts anew.
inline constexpr uint32_t kRestartWaitMs = 500;

// The install record's fallback key under HKLM (32-bit view), read when the configuration lacks
// the download base or the install folder.
inline constexpr const char kFallbackKeyPrefix[] = "Software\\Tollwyn\\WebUI\\";

struct EnginePorts {
  FileFetcher& fetcher;
  ManifestSource& manifests;
  FileSystem& files;
  Registry& registry;
  ProcessControl& processes;
  Shell& shell;
  OsInfo& os;
  Host& host;
  NotifierLink& notifier;
};

enum class ManifestKind { kCommon, kBank };

// The installed manifest of one kind, loaded once and looked up by (Path, FileName); the first
// entry of a pair is the one that counts.
class InstalledManifestIndex {
 public:
  explicit InstalledManifestIndex(const ManifestLoad& load);
  // Does the installed manifest lack this file with this digest?
  [[nodiscard]] bool EntryChanged(const std::string& path, const std::string& fileName,
                                  const std::string& digest) const;

 private:
  // fileName -> (path, digest) in manifest order; a name rarely has more than one path.
  std::unordered_map<std::string, std::vector<std::pair<std::string, std::string>>> byName_;
};

// Free helpers over the ports.
[[nodiscard]] bool CreateDirectoryPath(FileSystem& files, Host& host, const std::string& path);
[[nodiscard]] bool DeleteFilesBelow(FileSystem& files, Host& host, const std::string& folder);
// Terminates the first process of that image name with exit code 0 and waits for it (bounded).
void EndProcessByName(ProcessControl& processes, Host& host, const std::string& imageName);
// Terminates the first process of that image name with exit code -9; no wait.
void KillProcessByName(ProcessControl& processes, const std::string& imageName);
// Moves folder\<downloaderExeName> aside to folder\corlinq_old.exe.
void SetAsideOwnExecutable(FileSystem& files, Host& host, const std::string& folder,
                           const std::string& downloaderExeName);
// Base64 of SHA-1 of the file; false when it is missing or cannot be read.
[[nodiscard]] bool ComputeFileDigest(FileSystem& files, const std::string& file, std::string& digest);
// A file that cannot be read counts as differing.
[[nodiscard]] bool FileDigestDiffers(FileSystem& files, const std::string& file, const std::string& digest);

// The OS probe: 0 on a pre-NT or NT 4 system, 1 otherwise.
[[nodiscard]] int ProbeOs(OsInfo& os, int& isX86, int& isWin7Family);

class InstallEngine {
 public:
  InstallEngine(ProgressView& dialog, const AppConfig& config, const EnginePorts& ports, ProgressMode mode,
                const RuntimeProfile& runtimes);

  // The record.
  int updateFlag = 0;
  std::string familyWord;
  std::string baseUrl;
  std::string installDir;
  std::string serverVersion;
  std::string stagingDir;
  int totalSteps = 0;
  int stepCounter = 1;
  std::string commonManifestUrl;
  std::string bankManifestUrl;
  std::string stagedCommonManifest;
  std::string stagedBankManifest;
  std::string installedCommonManifest;
  std::string installedBankManifest;
  ProgressMode mode;
  ProgressView& dialog;
  std::vector<std::string> updateList;
  // Set when a step has ended the process through the host (a test host returns).
  bool exitRequested = false;
  // How fetched manifests without a release statement are taken (build option RELEASE_POLICY).
  ReleasePolicy releasePolicy = BuildReleasePolicy();

  // Progress helpers: each update is on screen before they return.
  void RefreshControl(int controlId);
  void SetStatus(const std::string& text);
  void SetButtonText(const std::string& text);
  void ReportStepDone();

  // Manifest-driven download and update.
  [[nodiscard]] bool FetchManifests();
  // The release check of the two fetched, verified manifests; a refusal is shown and both are
  // removed.
  [[nodiscard]] bool AcceptRelease(const std::string& commonFile, const std::string& bankFile);
  [[nodiscard]] int CountManifestEntries(ManifestKind kind);
  [[nodiscard]] bool SyncManifestFiles(ManifestKind kind);

  // System integration.
  void CreateAssistantFolders();
  [[nodiscard]] bool ClearStagingFolder();
  // The install record, the uninstall entry and the autostart value.
  [[nodiscard]] bool WriteRegistryEntries();
  // The install record alone: true when Path, BankID and then Version were written.
  [[nodiscard]] bool WriteInstallRecord();
  // The install record's version now, empty when there is none.
  [[nodiscard]] std::string RecordedVersion();
  void CreateShortcuts();

  // Prerequisites.
  int ProbeRuntimeNeeds(int& needX86, int& needX64);
  // False when a needed runtime could not be fetched or was not the pinned one.
  [[nodiscard]] bool InstallRuntimes(int needX86, int needX64);
  [[nodiscard]] bool StopAssistantProcesses();

  // Legacy removal and self-replacement.
  [[nodiscard]] bool RemoveLegacyAssistants();
  // Update and repair: the journaled commit of the staged files that the staged manifests list
  // and this run queued, with the staged manifests, and of the removal of files the installed
  // manifests list and the new ones do not; it writes the registry entries. Install: nothing.
  [[nodiscard]] CommitResult CommitStagedFiles();

  // The pop-up notifier.
  [[nodiscard]] int SendPopupCommand(const PopupCommand& request);
  int NotifyForcedUpdate();

  void Dispose();

  const AppConfig& config() const { return config_; }
  const EnginePorts& ports() const { return ports_; }

 private:
  std::string FallbackValue(const std::string& name);
  std::string RecordKeyPath() const;
  bool WriteSystemEntries();
  void SetPercent(int controlId, const std::string& text);
  // A manifest file as this run read it: loaded once; the entry rules' verdict is taken when a
  // step first acts on its entries.
  struct LoadedManifest {
    ManifestLoad load;
    bool checked = false;
    bool usable = false;  // loaded and every entry passes the rules
    std::string why;      // why not
  };
  LoadedManifest& ManifestAt(const std::string& file);
  // The manifest at file, loaded and with every entry passing the rules; else null and why.
  const LoadedManifest* UsableManifestAt(const std::string& file, std::string& why);
  // The manifest step failed: the status line says why and the button "下载失败".
  void ManifestStepFailed(const std::string& status);
  // Removes every file below folder; false when one stays.
  bool ClearStagedFiles(const std::string& folder);
  bool RunUpdateDownloads();
  bool RunLegacyRow();
  bool RunProductCodeRemoval();
  void WaitTrace(WaitOutcome outcome, const std::string& what);

  const AppConfig& config_;
  EnginePorts ports_;
  const RuntimeProfile& runtimes_;
  std::vector<std::string> updateDigests_;  // the manifest digest of each updateList entry
  size_t fetchedEarlier_ = 0;               // updateList entries a repair's common pass fetched
  std::map<std::string, LoadedManifest> manifests_;  // by file; each manifest is read once
  bool disposed_ = false;
};

// What a progress dialog owns for its run.
struct InstallRun {
  InstallRun() : workerDone(ownWorkerDone_) {}
  // A run whose workerDone lives with the dialog that shows it.
  explicit InstallRun(std::atomic<int>& sharedWorkerDone) : workerDone(sharedWorkerDone) {}
  InstallRun(const InstallRun&) = delete;
  InstallRun& operator=(const InstallRun&) = delete;

  std::unique_ptr<InstallEngine> engine;
  // 0 while the run may still change things, 1 once it has ended or failed; read by the
  // dialog's Cancel handler on another thread.
  std::atomic<int>& workerDone;

 private:
  std::atomic<int> ownWorkerDone_{0};
};

// The start of a run, on the dialog's thread: creates the engine from config, tells the
// notifier about a forced update, lets the dialog finish its own set-up (caption, "0%" in 1024,
// background) through onEngineReady, and starts InstallWorker through the host.
void StartInstallRun(InstallRun& run, ProgressView& dialog, const AppConfig& config, const EnginePorts& ports,
                     ProgressMode mode, const RuntimeProfile& runtimes,
                     const std::function<void(InstallEngine&)>& onEngineReady = {});
// The worker: every step of a run in order. Returns 0 when it stops early; on success it ends
// the process with code 0 through the host.
int InstallWorker(InstallRun& run);
// The message for a file another program holds open, naming the file and what to close.
[[nodiscard]] std::string HeldFileMessage(const AppConfig& config, const std::string& rel);
// Starts the pop-up notifier and the assistant: each with "-t" (which ends a running one), then,
// once no instance of it runs (at most kRestartWaitMs), with no arguments.
void StartAssistant(const AppConfig& config, ProcessControl& processes, FileSystem& files, Host& host);
// Waits (bounded) until no process of these names runs; traces when one outlasts the wait.
void WaitProgramsGone(ProcessControl& processes, Host& host, const std::vector<std::string>& imageNames,
                      uint32_t waitMs);

}  // namespace corlinq
