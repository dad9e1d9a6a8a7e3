#pragma once
// In-memory stand-ins for the engine's ports, shared by the engine's unit tests.
#include <map>
#include <unordered_map>
#include <set>
#include <string>
#include <vector>

#include "config/app_config.h"
#include "engine/install_engine.h"

namespace corlinq::testing {

// A digest in the manifests' form (28 characters of Base64) that starts with tag, a few Base64
// characters naming it in the test: Sha("W1") is "W1AAAAAAAAAAAAAAAAAAAAAAAAA=".
std::string Sha(const std::string& tag);

// One ordered record of what every fake was asked to do, for checks of step order.
using Journal = std::vector<std::string>;

// Records every write to the dialog, in order, and keeps the current texts and bars.
class FakeDialog : public ProgressView {
 public:
  Journal* journal = nullptr;
  std::vector<std::string> log;
  std::map<int, std::string> texts;
  std::map<int, uint32_t> ranges;
  std::map<int, uint32_t> positions;

  void SetText(int id, const std::string& text) override;
  std::string GetText(int id) const;
  void RefreshControl(int id) override;
  void SetProgressRange(int id, uint32_t max) override;
  void SetProgressPos(int id, uint32_t pos) override;
  // Batches go to the journal only ("batch begin", "batch show", "batch end").
  void BeginUpdates() override { Mark("batch begin"); }
  void ShowUpdates() override { Mark("batch show"); }
  void EndUpdates() override { Mark("batch end"); }
  // Texts set on one control, in order.
  std::vector<std::string> TextsOf(int id) const;

 private:
  void Mark(const char* what) {
    if (journal) journal->push_back(what);
  }
};

// A machine that stops dead: after `allowed` changes to the disk or the registry every further
// change fails and does nothing, as if the process had been killed or the power cut there.
struct CrashClock {
  int allowed = -1;  // -1: never
  int changes = 0;
  bool crashed = false;
  // True when the change may happen (and counts it).
  bool Tick() {
    if (allowed >= 0 && changes >= allowed) {
      crashed = true;
      return false;
    }
    ++changes;
    return true;
  }
};

struct FakeFile {
  std::string content;  // what a manifest load looks up
  std::string sha1;     // Base64 SHA-1 digest the file reports
  std::string sha256;
  bool readable = true;
  bool locked = false;  // cannot be replaced by a copy
};

class FakeFileSystem : public FileSystem {
 public:
  Journal* journal = nullptr;
  std::set<std::string> folders;
  std::unordered_map<std::string, FakeFile> files;
  std::set<std::string> failCreate;  // folders whose creation fails
  std::vector<std::string> log;      // "mkdir X", "delete X", "copy A>B", "move A>B"
  std::string currentFolder = "C:\\Users\\u\\Desktop";
  bool listFails = false;
  std::set<std::string> failPlace;  // sources MoveDurably refuses
  CrashClock* clock = nullptr;

  static std::string Normal(std::string path);
  void AddFolderPath(const std::string& path);  // with all its parents
  void AddFile(const std::string& path, FakeFile file);  // creates the parents too

  bool Exists(const std::string& path) override;
  bool IsFolder(const std::string& path) override;
  int CreateFolder(const std::string& path) override;
  std::optional<std::vector<FolderEntry>> List(const std::string& folder) override;
  bool Remove(const std::string& path) override;
  int Copy(const std::string& from, const std::string& to) override;
  bool Move(const std::string& from, const std::string& to) override;
  bool TruncateFile(const std::string& path) override;
  std::optional<std::string> ReadFile(const std::string& path) override;
  bool WriteFileDurably(const std::string& path, const std::string& content) override;
  bool MoveDurably(const std::string& from, const std::string& to) override;
  bool CanReplace(const std::string& path) override;
  std::optional<std::string> FileDigest(const std::string& path, DigestKind kind) override;
  std::string CurrentFolder() override { return currentFolder; }
  std::string TempFolder() override { return "C:\\Temp\\"; }
};

// Serves files by URL into the fake file system. Keeps the port's promise: a download whose
// served digest differs from the expected one fails and leaves nothing.
class FakeFetcher : public FileFetcher {
 public:
  struct Call {
    std::string url, path, expectedDigest;
    bool withProgress;
  };
  explicit FakeFetcher(FakeFileSystem& fs) : fs_(fs) {}
  Journal* journal = nullptr;
  std::map<std::string, FakeFile> served;
  std::set<std::string> failing;
  // URLs whose download reports success without writing anything (as a 404 page once did).
  std::set<std::string> claimWithoutWriting;
  std::vector<Call> calls;
  std::vector<Call> prefetches;  // hints, in order (also "prefetch <url>" in the journal)
  int forgotten = 0;             // ForgetPrefetched calls

  bool Download(const std::string& url, const std::string& path, const std::string& expectedDigest,
                ProgressView* progress) override;
  int hintsWithoutFolder = 0;    // hints given before their file's folder was made
  void Prefetch(const std::string& url, const std::string& path, const std::string& expectedDigest) override;
  void ForgetPrefetched() override { ++forgotten; }
  std::vector<std::string> Urls() const;

 private:
  FakeFileSystem& fs_;
};

// Manifests are files whose content names a document here.
class FakeManifests : public ManifestSource {
 public:
  explicit FakeManifests(FakeFileSystem& fs) : fs_(fs) {}
  std::map<std::string, ManifestLoad> documents;
  std::set<std::string> badSignature;  // document names
  int loads = 0;
  std::map<std::string, int> loadsOf;  // by file

  bool VerifySignature(const std::string& file) override;
  ManifestLoad Load(const std::string& file) override;

 private:
  FakeFileSystem& fs_;
};

class FakeRegistry : public Registry {
 public:
  Journal* journal = nullptr;
  using Values = std::map<std::string, std::string>;
  std::map<std::pair<RegistryView, std::string>, Values> keys;
  std::set<std::string> failCreate;
  std::map<std::string, int> failWrite;  // value name -> error
  CrashClock* clock = nullptr;

  RegistryOpen OpenKey(RegistryView view, const std::string& key) override;
  RegistryOpen CreateKey(RegistryView view, const std::string& key) override;
  const Values* Find(RegistryView view, const std::string& key) const;
};

class FakeProcesses : public ProcessControl {
 public:
  Journal* journal = nullptr;
  struct Start {
    std::string program, params;
    bool hidden;
    uint32_t waitMs;
  };
  std::vector<std::string> running;  // image names, in snapshot order
  std::vector<std::string> log;      // "end X", "kill X", "start P params"
  std::vector<Start> starts;
  std::set<std::string> hangs;       // programs that outlast any wait
  std::set<std::string> lingers;     // running image names that outlast WaitUntilGone
  std::string ownPath = "C:\\Users\\u\\Desktop\\corlinq_867.exe";

  uint32_t FindProcessByName(const std::string& imageName) override;
  WaitOutcome TerminateFirst(const std::string& imageName, uint32_t exitCode, uint32_t waitMs) override;
  WaitOutcome Start(const std::string& program, const std::string& params, bool hidden, uint32_t waitMs) override;
  // Logs "wait gone A,B MS"; the running processes of those names end, but for the lingering.
  bool WaitUntilGone(const std::vector<std::string>& imageNames, uint32_t waitMs) override;
  std::string OwnExecutablePath() override { return ownPath; }
};

class FakeShell : public Shell {
 public:
  Journal* journal = nullptr;
  std::map<ShellFolder, std::string> folderPaths = {{ShellFolder::kCommonDesktop, "C:\\users\\Public\\Desktop"},
                                                    {ShellFolder::kCommonPrograms, "C:\\ProgramData\\Programs"},
                                                    {ShellFolder::kAppData, "C:\\users\\u\\AppData"}};
  std::map<std::string, std::string> links;  // link file -> target
  std::vector<std::string> notified;

  std::optional<std::string> GetFolder(ShellFolder which) override;
  bool CreateLink(const std::string& target, const std::string& linkFile) override;
  void NotifyFolderCreated(const std::string& path) override { notified.push_back(path); }
};

class FakeOs : public OsInfo {
 public:
  OsFacts facts{true, 2, 6, 1, 9};
  OsFacts Query() override { return facts; }
};

class FakeHost : public Host {
 public:
  Journal* journal = nullptr;
  std::vector<std::pair<std::string, std::string>> traces;
  std::vector<uint32_t> sleeps;
  std::vector<std::string> messages;
  std::vector<int> exits;
  int comDepth = 0;
  int comEnters = 0;
  int64_t now = 1796083200;  // 2026-12-01T00:00:00Z

  int64_t UnixTimeNow() override { return now; }

  void Trace(const std::string& text, const std::string& tag) override { traces.emplace_back(text, tag); }
  void Sleep(uint32_t ms) override {
    sleeps.push_back(ms);
    if (journal) journal->push_back("sleep " + std::to_string(ms));
  }
  void ShowMessage(const std::string& text, const std::string& caption) override {
    messages.push_back(caption + ": " + text);
    if (journal) journal->push_back("message " + text);
  }
  void Exit(int code) override {
    exits.push_back(code);
    if (journal) journal->push_back("exit " + std::to_string(code));
  }
  void StartWorker(std::function<void()> worker) override { worker(); }
  void EnterCom() override {
    ++comDepth;
    ++comEnters;
  }
  void LeaveCom() override { --comDepth; }
  bool Traced(const std::string& text) const;
};

class FakeNotifier : public NotifierLink {
 public:
  Journal* journal = nullptr;
  PipeWrite write = PipeWrite::kNoListener;
  std::vector<std::pair<std::string, std::string>> writes;
  PipeWrite WriteMessage(const std::string& pipeName, const std::string& message) override {
    writes.emplace_back(pipeName, message);
    if (journal) journal->push_back("pipe " + message);
    return write;
  }
  AnswerWait WaitForAnswer(const std::string&, const std::string&, uint32_t) override { return AnswerWait::kTimeout; }
};

// Everything a run touches, with the default build's configuration and an installation folder.
struct World {
  World();
  Journal journal;
  FakeDialog dialog;
  FakeFileSystem fs;
  FakeFetcher fetcher{fs};
  FakeManifests manifests{fs};
  FakeRegistry registry;
  FakeProcesses processes;
  FakeShell shell;
  FakeOs os;
  FakeHost host;
  FakeNotifier notifier;
  AppConfig config;
  RuntimeProfile runtimes;
  EnginePorts ports{fetcher, manifests, fs, registry, processes, shell, os, host, notifier};
  CrashClock crash;  // shared by the file system and the registry

  std::unique_ptr<InstallEngine> Engine(ProgressMode mode);

  static constexpr const char* kBase = "https://127.0.0.1/867";
  static constexpr const char* kDir = "C:\\A";
  // Publishes a manifest on the server (common or bank) under a document name.
  void Publish(ManifestKind kind, const std::string& document, std::vector<ManifestEntry> entries);
  // Serves each entry's file with its digest.
  void ServeFiles(const std::vector<ManifestEntry>& entries);
  // Puts a manifest and its files in place as an earlier installation left them.
  void Install(ManifestKind kind, const std::string& document, const std::vector<ManifestEntry>& entries);
};

}  // namespace corlinq::testing
