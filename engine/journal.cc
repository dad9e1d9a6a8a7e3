// The journaled commit and its recovery.
#include "engine/journal.h"

#include <cctype>

#include "base/strings.h"
#include "engine/install_engine.h"

namespace corlinq {
namespace {

constexpr char kJournalHeading[] = "corlinq commit journal 1";

struct ActionWord {
  CommitAction action;
  const char* word;
};
constexpr ActionWord kActionWords[] = {{CommitAction::kPut, "put"},
                                       {CommitAction::kReplace, "replace"},
                                       {CommitAction::kSelf, "self"},
                                       {CommitAction::kDelete, "delete"}};

// A value on one journal line: no line breaks, no other control characters.
std::string OneLine(const std::string& text) {
  std::string out;
  for (const char c : text) {
    if (static_cast<unsigned char>(c) >= 0x20) out += c;
  }
  return out;
}

std::string Parent(const std::string& path) {
  const size_t cut = path.rfind('\\');
  return cut == std::string::npos ? std::string() : path.substr(0, cut);
}

// The paths one item moves between.
struct ItemPaths {
  std::string target;  // in the install folder
  std::string staged;  // in the staging folder
  std::string backup;  // where the installed file waits while the commit runs
};

ItemPaths PathsOf(const CommitFolders& folders, const CommitItem& item) {
  ItemPaths paths;
  paths.target = folders.installDir + "\\" + item.rel;
  paths.staged = folders.stagingDir + "\\" + item.rel;
  paths.backup = item.action == CommitAction::kSelf
                     ? folders.installDir + "\\" + kSetAsideFileName
                     : folders.stagingDir + "\\" + kBackupFolderName + "\\" + item.rel;
  return paths;
}

std::string JournalPath(const CommitFolders& folders) { return folders.stagingDir + "\\" + kJournalFileName; }

// One step forward. Every step is decided by what is on disk, so it can be taken again after an
// interruption without doing anything twice.
bool Redo(FileSystem& files, const CommitFolders& folders, const CommitItem& item) {
  const ItemPaths p = PathsOf(folders, item);
  switch (item.action) {
    case CommitAction::kPut:
      return !files.Exists(p.staged) || files.MoveDurably(p.staged, p.target);
    case CommitAction::kReplace:
    case CommitAction::kSelf:
      if (!files.Exists(p.staged)) return true;  // already in place
      if (files.Exists(p.target) && !files.Exists(p.backup) && !files.Move(p.target, p.backup)) return false;
      return files.MoveDurably(p.staged, p.target);
    case CommitAction::kDelete:
      return !files.Exists(p.target) || files.Exists(p.backup) || files.Move(p.target, p.backup);
  }
  return false;
}

// One step back, equally decided by what is on disk. A new file goes back to the staging
// folder (it may be the running downloader, which can be renamed but not deleted).
bool Undo(FileSystem& files, const CommitFolders& folders, const CommitItem& item) {
  const ItemPaths p = PathsOf(folders, item);
  const auto unplace = [&] {
    if (!files.Exists(p.target)) return true;
    if (!files.Exists(p.staged)) return files.Move(p.target, p.staged);
    return files.Remove(p.target);
  };
  switch (item.action) {
    case CommitAction::kPut:
      return unplace();
    case CommitAction::kReplace:
    case CommitAction::kSelf:
      if (!files.Exists(p.backup)) return true;  // the installed file was never moved
      return unplace() && files.Move(p.backup, p.target);
    case CommitAction::kDelete:
      return !files.Exists(p.backup) || files.Exists(p.target) || files.Move(p.backup, p.target);
  }
  return false;
}

// Puts items [0, count) back, last first. Goes on past a failure so as much as possible is back.
bool UndoAll(FileSystem& files, Host& host, const CommitFolders& folders, const std::vector<CommitItem>& items,
             size_t count) {
  bool ok = true;
  for (size_t i = count; i-- > 0;) {
    if (!Undo(files, folders, items[i])) {
      host.Trace("CommitUndoFailed", items[i].rel);
      ok = false;
    }
  }
  return ok;
}

// After the "done" mark: the backups go, the set-aside downloader stays.
void RemoveBackups(FileSystem& files, Host& host, const CommitFolders& folders, const std::vector<CommitItem>& items) {
  for (const CommitItem& item : items) {
    if (item.action != CommitAction::kReplace && item.action != CommitAction::kDelete) continue;
    const std::string backup = PathsOf(folders, item).backup;
    if (files.Exists(backup) && !files.Remove(backup)) host.Trace("DeleteFailed", backup);
  }
}

bool SameRel(const std::string& a, const std::string& b) { return ToLowerAscii(a) == ToLowerAscii(b); }

}  // namespace

std::string FormatJournal(const CommitJournal& journal) {
  std::string text = std::string(kJournalHeading) + "\n";
  text += "old " + OneLine(journal.oldVersion) + "\n";
  text += "new " + OneLine(journal.newVersion) + "\n";
  for (const CommitItem& item : journal.items) {
    for (const ActionWord& word : kActionWords) {
      if (word.action == item.action) text += std::string(word.word) + " " + OneLine(item.rel) + "\n";
    }
  }
  text += "end\n";
  if (journal.done) text += "done\n";
  return text;
}

std::optional<CommitJournal> ParseJournal(const std::string& text) {
  std::vector<std::string> lines;
  size_t at = 0;
  while (at < text.size()) {
    const size_t end = text.find('\n', at);
    if (end == std::string::npos) return std::nullopt;  // every line ends with a break
    lines.push_back(text.substr(at, end - at));
    at = end + 1;
  }
  if (lines.size() < 4 || lines[0] != kJournalHeading) return std::nullopt;
  if (lines[1].rfind("old ", 0) != 0 || lines[2].rfind("new ", 0) != 0) return std::nullopt;
  CommitJournal journal;
  journal.oldVersion = lines[1].substr(4);
  journal.newVersion = lines[2].substr(4);
  size_t i = 3;
  for (; i < lines.size() && lines[i] != "end"; ++i) {
    const size_t blank = lines[i].find(' ');
    if (blank == std::string::npos || blank + 1 == lines[i].size()) return std::nullopt;
    const std::string word = lines[i].substr(0, blank);
    const ActionWord* found = nullptr;
    for (const ActionWord& candidate : kActionWords) {
      if (word == candidate.word) found = &candidate;
    }
    if (found == nullptr) return std::nullopt;
    journal.items.push_back({found->action, lines[i].substr(blank + 1)});
  }
  if (i == lines.size()) return std::nullopt;  // no "end": not a whole journal
  ++i;
  if (i < lines.size() && lines[i] == "done") {
    journal.done = true;
    ++i;
  }
  if (i != lines.size()) return std::nullopt;
  return journal;
}

CommitResult CommitFiles(FileSystem& files, Host& host, const CommitPlan& plan,
                         const std::function<bool()>& writeRecord) {
  using Status = CommitResult::Status;
  const CommitFolders& folders = plan.folders;

  // What will happen to each file, decided before anything changes.
  CommitJournal journal{plan.oldVersion, plan.newVersion, {}, false};
  for (const std::string& rel : plan.puts) {
    bool known = false;
    for (const CommitItem& item : journal.items) known = known || SameRel(item.rel, rel);
    if (known) continue;
    const ItemPaths p = PathsOf(folders, {CommitAction::kPut, rel});
    if (!files.Exists(p.staged) || files.IsFolder(p.staged)) {
      host.Trace("CommitMissing", p.staged);
      return {Status::kMissing, rel};
    }
    CommitAction action = CommitAction::kPut;
    if (files.Exists(p.target)) action = rel == plan.ownExeName ? CommitAction::kSelf : CommitAction::kReplace;
    journal.items.push_back({action, rel});
  }
  for (const std::string& rel : plan.deletes) {
    bool known = false;
    for (const CommitItem& item : journal.items) known = known || SameRel(item.rel, rel);
    if (!known && files.Exists(folders.installDir + "\\" + rel)) journal.items.push_back({CommitAction::kDelete, rel});
  }

  // Every target must be free before the first one is touched.
  for (const CommitItem& item : journal.items) {
    if (item.action == CommitAction::kPut || item.action == CommitAction::kSelf) continue;
    const std::string target = PathsOf(folders, item).target;
    if (!files.CanReplace(target)) {
      host.Trace("CommitHeld", target);
      return {Status::kHeld, item.rel};
    }
  }
  for (const CommitItem& item : journal.items) {
    if (item.action != CommitAction::kSelf) continue;
    // The set-aside file of an earlier run makes room; a downloader still running from it holds
    // the name.
    const std::string setAside = PathsOf(folders, item).backup;
    if (files.Exists(setAside) && !files.Remove(setAside)) {
      host.Trace("DeleteFile Failed", setAside);
      return {Status::kHeld, kSetAsideFileName};
    }
  }
  for (const CommitItem& item : journal.items) {
    const ItemPaths p = PathsOf(folders, item);
    const std::string& needed = item.action == CommitAction::kPut ? p.target : p.backup;
    if (!CreateDirectoryPath(files, host, Parent(needed))) return {Status::kFailed, item.rel};
  }

  const std::string journalPath = JournalPath(folders);
  if (!files.WriteFileDurably(journalPath, FormatJournal(journal))) {
    host.Trace("CommitJournalFailed", journalPath);
    return {Status::kFailed, {}};
  }
  host.Trace("CommitJournal", journalPath);

  for (size_t i = 0; i < journal.items.size(); ++i) {
    if (Redo(files, folders, journal.items[i])) {
      host.Trace("CopySuccess", journal.items[i].rel);
      continue;
    }
    host.Trace("CopyFailed", journal.items[i].rel);
    if (UndoAll(files, host, folders, journal.items, i + 1)) (void)files.Remove(journalPath);
    return {Status::kFailed, journal.items[i].rel};
  }
  if (!writeRecord()) {
    host.Trace("CommitRecordFailed", "FALSE");
    if (UndoAll(files, host, folders, journal.items, journal.items.size())) (void)files.Remove(journalPath);
    return {Status::kRecordFailed, {}};
  }
  journal.done = true;
  // Without the mark the next start still finishes forward: the record names the new version.
  if (!files.WriteFileDurably(journalPath, FormatJournal(journal))) host.Trace("CommitDoneMarkFailed", journalPath);
  RemoveBackups(files, host, folders, journal.items);
  if (!files.Remove(journalPath)) host.Trace("DeleteFailed", journalPath);
  return {Status::kCommitted, {}};
}

Recovery RecoverCommit(FileSystem& files, Host& host, const CommitFolders& folders,
                       const std::string& recordVersion) {
  const std::string journalPath = JournalPath(folders);
  if (!files.Exists(journalPath)) return Recovery::kNone;
  const std::optional<std::string> text = files.ReadFile(journalPath);
  const std::optional<CommitJournal> journal = text ? ParseJournal(*text) : std::nullopt;
  if (!journal) {
    host.Trace("RecoverJournalUnreadable", journalPath);
    return Recovery::kUnfinished;
  }
  const bool forward =
      journal->done || (recordVersion == journal->newVersion && journal->newVersion != journal->oldVersion);
  if (forward) {
    for (const CommitItem& item : journal->items) {
      if (!Redo(files, folders, item)) {
        host.Trace("RecoverForwardFailed", item.rel);
        return Recovery::kUnfinished;
      }
    }
    if (!journal->done) {
      CommitJournal done = *journal;
      done.done = true;
      if (!files.WriteFileDurably(journalPath, FormatJournal(done))) return Recovery::kUnfinished;
    }
    RemoveBackups(files, host, folders, journal->items);
    (void)files.Remove(journalPath);
    host.Trace("RecoverRolledForward " + journal->newVersion, "TRUE");
    return Recovery::kRolledForward;
  }
  if (!UndoAll(files, host, folders, journal->items, journal->items.size())) return Recovery::kUnfinished;
  (void)files.Remove(journalPath);
  host.Trace("RecoverRolledBack " + journal->oldVersion, "TRUE");
  return Recovery::kRolledBack;
}

bool IsDownloadPartName(const std::string& name) {
  constexpr size_t kTail = 1 + 8 + 5;  // ".xxxxxxxx.part"
  if (name.size() <= kTail || !EndsWith(name, ".part")) return false;
  const size_t dot = name.size() - kTail;
  if (name[dot] != '.') return false;
  for (size_t i = dot + 1; i < dot + 9; ++i) {
    if (!std::isxdigit(static_cast<unsigned char>(name[i]))) return false;
  }
  return true;
}

namespace {

void SweepBelow(FileSystem& files, Host& host, const std::string& folder, int depth) {
  if (depth > 16) return;  // far deeper than any release: a folder loop
  const std::optional<std::vector<FolderEntry>> entries = files.List(folder);
  if (!entries) return;
  for (const FolderEntry& entry : *entries) {
    const std::string full = folder + "\\" + entry.name;
    if (entry.isDirectory) {
      SweepBelow(files, host, full, depth + 1);
    } else if (IsDownloadPartName(entry.name)) {
      host.Trace(files.Remove(full) ? "SweptPart" : "DeleteFailed", full);
    }
  }
}

}  // namespace

void SweepPartFiles(FileSystem& files, Host& host, const std::string& folder) { SweepBelow(files, host, folder, 0); }

Recovery RecoverAtStartup(FileSystem& files, Host& host, const std::string& installDir,
                          const std::string& recordVersion) {
  if (installDir.empty() || !files.IsFolder(installDir)) return Recovery::kNone;
  const std::string stagingDir = installDir + "\\DownLoad";
  const Recovery recovery = RecoverCommit(files, host, {installDir, stagingDir}, recordVersion);
  // Only a folder that looks like an installation is swept, whatever a record may name.
  if (files.IsFolder(stagingDir) || files.Exists(installDir + "\\Digest.xml")) SweepPartFiles(files, host, installDir);
  return recovery;
}

}  // namespace corlinq
