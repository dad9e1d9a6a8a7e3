#pragma once
// The journaled commit of an update's staged files, and its recovery when a run was ended in the
// middle of one. Nothing in the install folder is touched before the journal, which names every
// replacement and deletion, is on disk; every replaced or deleted file is first moved into a
// backup folder on the same volume. The install record is written after the last move and
// before the journal's "done" mark, so a start-up that finds an unfinished journal knows which
// way to finish it: forward when the record already names the new version, back otherwise.
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "engine/ports.h"

namespace corlinq {

inline constexpr char kJournalFileName[] = "commit.journal";
inline constexpr char kBackupFolderName[] = ".backup";
// The running downloader's own file cannot be overwritten, only renamed: its backup is this
// name in the install folder, where it stays after the commit.
inline constexpr char kSetAsideFileName[] = "corlinq_old.exe";

enum class CommitAction {
  kPut,      // a new file where none was
  kReplace,  // a new file over an installed one, which goes to the backup folder
  kSelf,     // the running downloader's file: set aside as corlinq_old.exe, then replaced
  kDelete,   // an installed file the new release no longer lists, moved to the backup folder
};

struct CommitItem {
  CommitAction action = CommitAction::kPut;
  std::string rel;  // relative to the install and staging folders, "\" separated
  bool operator==(const CommitItem& other) const { return action == other.action && rel == other.rel; }
};

struct CommitJournal {
  std::string oldVersion;
  std::string newVersion;
  std::vector<CommitItem> items;
  bool done = false;
};

[[nodiscard]] std::string FormatJournal(const CommitJournal& journal);
// nullopt for a text that is not a whole journal.
[[nodiscard]] std::optional<CommitJournal> ParseJournal(const std::string& text);

struct CommitFolders {
  std::string installDir;
  std::string stagingDir;
};

struct CommitPlan {
  CommitFolders folders;
  std::vector<std::string> puts;     // staged files to place, relative
  std::vector<std::string> deletes;  // installed files to remove, relative
  std::string ownExeName;            // the downloader's file name
  std::string oldVersion;            // the record's version before the commit
  std::string newVersion;
};

struct CommitResult {
  enum class Status {
    kCommitted,
    kMissing,       // a file to place is not in the staging folder; nothing touched
    kHeld,          // a target is held open by another program; nothing touched
    kFailed,        // a move failed; everything put back
    kRecordFailed,  // the install record could not be written; everything put back
  };
  Status status = Status::kCommitted;
  std::string rel;  // the file concerned, when there is one
};

// Commits the plan. writeRecord writes the install record and reports whether it did; it runs
// after the last move and before the "done" mark. On any failure the backups are put back in
// reverse order and the record is not written.
[[nodiscard]] CommitResult CommitFiles(FileSystem& files, Host& host, const CommitPlan& plan,
                                       const std::function<bool()>& writeRecord);

enum class Recovery {
  kNone,           // no journal
  kRolledBack,     // the commit had not reached the record: the old files are back
  kRolledForward,  // the record names the new version: the commit was finished
  kUnfinished,     // the journal could not be read or a move failed; it stays for the next start
};

// Finishes an unfinished commit found in folders.stagingDir. recordVersion: the install record's
// version now.
[[nodiscard]] Recovery RecoverCommit(FileSystem& files, Host& host, const CommitFolders& folders,
                                     const std::string& recordVersion);

// The start of every run, before any dialog: finishes an unfinished commit of the installation
// in installDir (its staging folder is installDir\DownLoad) and removes stray download files
// below it. recordVersion: the install record's version now.
Recovery RecoverAtStartup(FileSystem& files, Host& host, const std::string& installDir,
                          const std::string& recordVersion);

// Removes the downloads' temporary files ("<name>.<8 hex digits>.part") below folder.
void SweepPartFiles(FileSystem& files, Host& host, const std::string& folder);
[[nodiscard]] bool IsDownloadPartName(const std::string& name);

}  // namespace corlinq
