#pragma once
// The ports through which the install engine reaches the system. Each is a small abstract class
// taken by reference; the Win32 adapters live in engine/win/, the unit tests use in-memory fakes.
// Paths are UTF-8 texts with "\" separators, exactly as the engine composes them.
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "manifest/manifest_load.h"  // ManifestEntry, ManifestLoad, the release statement

#include "base/folder_entry.h"

namespace corlinq {

class ProgressView;

// Downloads one file. On true the complete file is at path and, when expectedDigest (Base64 of
// SHA-1, 28 characters) is not empty, its content has that digest. On false nothing unverified
// is left at path: an earlier file there stays as it was or is gone. progress, when not null, is
// the progress dialog whose current-file bar (1021) and label (1023) follow the download.
class FileFetcher {
 public:
  virtual ~FileFetcher() = default;
  [[nodiscard]] virtual bool Download(const std::string& url, const std::string& path,
                                      const std::string& expectedDigest, ProgressView* progress) = 0;
  // A file the run will download soon, in the same form, with its folder made and nothing else
  // to do before its download. A fetcher may start it early; its Download then gives that
  // download's outcome (or downloads it again). Hints repeat: one already given is ignored.
  virtual void Prefetch(const std::string& /*url*/, const std::string& /*path*/,
                        const std::string& /*expectedDigest*/) {}
  // The run stopped downloading: files hinted and not downloaded in turn are not needed.
  virtual void ForgetPrefetched() {}
};

// The signed "Digest" manifests.
class ManifestSource {
 public:
  virtual ~ManifestSource() = default;
  // True when the manifest file carries a valid signature over its content.
  [[nodiscard]] virtual bool VerifySignature(const std::string& file) = 0;
  // Reads every entry of the manifest file (entry i = the i-th "File" element) and checks them
  // with the entry rules of manifest/manifest_entries.h.
  [[nodiscard]] virtual ManifestLoad Load(const std::string& file) = 0;
};

enum class DigestKind {
  kSha1Base64,  // manifest digests: SHA-1, standard Base64 with padding
  kSha256Hex,   // runtime installer pins: SHA-256, lowercase hexadecimal
};


class FileSystem {
 public:
  virtual ~FileSystem() = default;
  [[nodiscard]] virtual bool Exists(const std::string& path) = 0;  // file or folder
  [[nodiscard]] virtual bool IsFolder(const std::string& path) = 0;
  // Creates one folder level. 0 on success, else the platform error code.
  [[nodiscard]] virtual int CreateFolder(const std::string& path) = 0;
  // The entries of a folder, without "." and "..". nullopt when it cannot be listed.
  [[nodiscard]] virtual std::optional<std::vector<FolderEntry>> List(const std::string& folder) = 0;
  [[nodiscard]] virtual bool Remove(const std::string& path) = 0;
  // Copies a file, replacing an existing target. 0 on success, else the platform error code.
  [[nodiscard]] virtual int Copy(const std::string& from, const std::string& to) = 0;
  // Moves or renames a file (a running executable can be moved, not overwritten).
  [[nodiscard]] virtual bool Move(const std::string& from, const std::string& to) = 0;
  // Creates the file empty, or truncates it.
  [[nodiscard]] virtual bool TruncateFile(const std::string& path) = 0;
  // The file's whole content; nullopt when it is missing or cannot be read.
  [[nodiscard]] virtual std::optional<std::string> ReadFile(const std::string& path) = 0;
  // Writes content to path so that after a crash or power cut path holds either its earlier
  // content or all of the new one: a side file, flushed, then moved over path.
  [[nodiscard]] virtual bool WriteFileDurably(const std::string& path, const std::string& content) = 0;
  // Flushes the file's content to disk and moves it over to (replacing an existing file), the
  // move itself written through before it returns.
  [[nodiscard]] virtual bool MoveDurably(const std::string& from, const std::string& to) = 0;
  // True when an existing file can be opened for exclusive write, so no other program holds it;
  // a missing file can always be replaced.
  [[nodiscard]] virtual bool CanReplace(const std::string& path) = 0;
  // The digest of the file's content read in 4096-byte blocks; nullopt when it is missing or
  // cannot be read.
  [[nodiscard]] virtual std::optional<std::string> FileDigest(const std::string& path, DigestKind kind) = 0;
  // The process's current folder, without a trailing separator.
  [[nodiscard]] virtual std::string CurrentFolder() = 0;
  // The user's temporary folder, ending with a separator.
  [[nodiscard]] virtual std::string TempFolder() = 0;
};

// HKEY_LOCAL_MACHINE in an explicit view.
enum class RegistryView { k32, k64 };

class RegistryKey {
 public:
  virtual ~RegistryKey() = default;  // closes the key
  [[nodiscard]] virtual std::optional<std::string> ReadString(const std::string& name) = 0;
  // REG_SZ, stored zero-terminated. 0 on success, else the platform error code.
  [[nodiscard]] virtual int WriteString(const std::string& name, const std::string& value) = 0;
  [[nodiscard]] virtual bool DeleteValue(const std::string& name) = 0;
};

struct RegistryOpen {
  std::unique_ptr<RegistryKey> key;  // null on failure
  int error = 0;
};

class Registry {
 public:
  virtual ~Registry() = default;
  // Opens for reading (KEY_READ).
  [[nodiscard]] virtual RegistryOpen OpenKey(RegistryView view, const std::string& key) = 0;
  // Creates or opens for writing (non-volatile, default security).
  [[nodiscard]] virtual RegistryOpen CreateKey(RegistryView view, const std::string& key) = 0;
};

enum class WaitOutcome {
  kNotStarted,  // the program could not be started
  kStarted,     // started, not waited for
  kEnded,       // started and ended within the bound
  kTimedOut,    // started and still running when the bound ran out
};

class ProcessControl {
 public:
  virtual ~ProcessControl() = default;
  // The id of the first process whose executable file name equals imageName ignoring case;
  // 0 when there is none.
  [[nodiscard]] virtual uint32_t FindProcessByName(const std::string& imageName) = 0;
  // Terminates the first process whose image name equals imageName ignoring case with
  // exitCode; with waitMs > 0 waits up to waitMs for it to end. kNotStarted when none was
  // found or it could not be terminated.
  [[nodiscard]] virtual WaitOutcome TerminateFirst(const std::string& imageName, uint32_t exitCode,
                                                   uint32_t waitMs) = 0;
  // Waits until no process runs whose image name equals one of imageNames ignoring case, at
  // most waitMs. True when none runs (then or within the bound).
  [[nodiscard]] virtual bool WaitUntilGone(const std::vector<std::string>& imageNames, uint32_t waitMs) = 0;
  // Starts a program through the shell with the default verb. waitMs 0: do not wait.
  [[nodiscard]] virtual WaitOutcome Start(const std::string& program, const std::string& params,
                                          bool hidden, uint32_t waitMs) = 0;
  // The full path of this program's own executable.
  [[nodiscard]] virtual std::string OwnExecutablePath() = 0;
};

enum class ShellFolder {
  kCommonDesktop,   // CSIDL_COMMON_DESKTOPDIRECTORY
  kCommonPrograms,  // CSIDL_COMMON_PROGRAMS
  kAppData,         // CSIDL_APPDATA
};

class Shell {
 public:
  virtual ~Shell() = default;
  [[nodiscard]] virtual std::optional<std::string> GetFolder(ShellFolder which) = 0;
  // Writes a shell link at linkFile pointing at target only; replaces an existing link.
  [[nodiscard]] virtual bool CreateLink(const std::string& target, const std::string& linkFile) = 0;
  // SHCNE_MKDIR for path, SHCNE_UPDATEDIR for its parent.
  virtual void NotifyFolderCreated(const std::string& path) = 0;
};

struct OsFacts {
  bool versionKnown = false;   // the version query worked
  uint32_t platformId = 0;     // 2 = VER_PLATFORM_WIN32_NT
  uint32_t major = 0;
  uint32_t minor = 0;
  uint16_t architecture = 0;   // 0 x86, 9 x64, others
};

class OsInfo {
 public:
  virtual ~OsInfo() = default;
  [[nodiscard]] virtual OsFacts Query() = 0;
};

// What the run needs from its host process.
class Host {
 public:
  virtual ~Host() = default;
  // Diagnostics channel: a text and a tag ("Success", "Failed", ...). No visible effect.
  virtual void Trace(const std::string& text, const std::string& tag) = 0;
  virtual void Sleep(uint32_t ms) = 0;
  // The wall clock in seconds since 1970-01-01T00:00:00Z; a release's expiry is judged by it.
  [[nodiscard]] virtual int64_t UnixTimeNow() {
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
  }
  // A message box without owner: exclamation icon, OK button.
  virtual void ShowMessage(const std::string& text, const std::string& caption) = 0;
  // Ends the process with code. Does not return in the real program; a test host records it.
  virtual void Exit(int code) = 0;
  // Starts the run's worker (a thread in the real program).
  virtual void StartWorker(std::function<void()> worker) = 0;
  // COM on the calling thread, for shell links.
  virtual void EnterCom() = 0;
  virtual void LeaveCom() = 0;
};

}  // namespace corlinq
