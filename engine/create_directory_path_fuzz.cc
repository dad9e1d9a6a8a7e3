// CreateDirectoryPath on arbitrary paths: it creates only folders on the way to the path, each
// one level below the one before, never with an empty or doubled separator.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>

#include "engine/install_engine.h"

namespace {

using namespace corlinq;

class RecordingFiles : public FileSystem {
 public:
  std::set<std::string> folders;
  std::string lastCreated;
  std::string path;

  bool Exists(const std::string& p) override { return folders.count(p) != 0; }
  bool IsFolder(const std::string& p) override { return folders.count(p) != 0; }
  int CreateFolder(const std::string& p) override {
    if (p.find("\\\\") != std::string::npos || (!p.empty() && p.back() == '\\')) std::abort();
    // Each new folder extends the one created before it by exactly one component.
    if (!lastCreated.empty() && (p.compare(0, lastCreated.size(), lastCreated) != 0 || p[lastCreated.size()] != '\\' ||
                                 p.find('\\', lastCreated.size() + 1) != std::string::npos)) {
      std::abort();
    }
    lastCreated = p;
    if (p.size() % 7 == 3) return 5;  // some creations fail
    folders.insert(p);
    return 0;
  }
  std::optional<std::vector<FolderEntry>> List(const std::string&) override { return std::nullopt; }
  bool Remove(const std::string&) override { return false; }
  int Copy(const std::string&, const std::string&) override { return 1; }
  bool Move(const std::string&, const std::string&) override { return false; }
  bool TruncateFile(const std::string&) override { return false; }
  std::optional<std::string> ReadFile(const std::string&) override { return std::nullopt; }
  bool WriteFileDurably(const std::string&, const std::string&) override { return false; }
  bool MoveDurably(const std::string&, const std::string&) override { return false; }
  bool CanReplace(const std::string&) override { return false; }
  std::optional<std::string> FileDigest(const std::string&, DigestKind) override { return std::nullopt; }
  std::string CurrentFolder() override { return {}; }
  std::string TempFolder() override { return {}; }
};

class SilentHost : public Host {
 public:
  void Trace(const std::string&, const std::string&) override {}
  void Sleep(uint32_t) override {}
  void ShowMessage(const std::string&, const std::string&) override {}
  void Exit(int) override {}
  void StartWorker(std::function<void()> worker) override { worker(); }
  void EnterCom() override {}
  void LeaveCom() override {}
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string path(reinterpret_cast<const char*>(data), size);
  RecordingFiles files;
  files.folders.insert("C:");
  SilentHost host;
  const bool made = CreateDirectoryPath(files, host, path);
  // Every folder created is a prefix of the path with its separators collapsed.
  std::string collapsed;
  for (const char c : path) {
    if (c == '\\' && !collapsed.empty() && collapsed.back() == '\\') continue;
    collapsed += c;
  }
  for (const std::string& folder : files.folders) {
    if (folder == "C:") continue;
    if (collapsed.compare(0, folder.size(), folder) != 0) std::abort();
  }
  (void)made;
  // A manifest entry the rules accept stays below the install folder: no component "." or "..",
  // no drive or stream colon, no leading separator, no separator in the file name.
  const size_t split = path.find('|');
  if (split != std::string::npos) {
    const ManifestEntry entry{path.substr(0, split), path.substr(split + 1), "2jmj7l5rSw0yVb/vlWAYkK/YBwk="};
    if (CheckManifestEntry(entry) == EntryResult::kOk) {
      const std::string rel = entry.path.empty() ? entry.fileName : entry.path + "\\" + entry.fileName;
      if (rel.find(':') != std::string::npos || rel[0] == '\\' || entry.fileName.find('\\') != std::string::npos) {
        std::abort();
      }
      size_t start = 0;
      while (start <= rel.size()) {
        const size_t sep = std::min(rel.find('\\', start), rel.size());
        const std::string part = rel.substr(start, sep - start);
        if (part.empty() || part == "." || part == "..") std::abort();
        start = sep + 1;
      }
    }
  }
  return 0;
}
