#include "engine/engine_fakes.h"

#include <algorithm>

#include "base/strings.h"

namespace corlinq::testing {
namespace {

std::string Parent(const std::string& path) {
  const size_t slash = path.find_last_of('\\');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

}  // namespace

std::string Sha(const std::string& tag) {
  std::string digest = tag.substr(0, 27);
  digest.resize(27, 'A');
  return digest + "=";
}

// ---- dialog ----
void FakeDialog::SetText(int id, const std::string& text) {
  texts[id] = text;
  log.push_back(StrPrintf("text %d ", id) + text);
  if (journal) journal->push_back(log.back());
}
std::string FakeDialog::GetText(int id) const {
  const auto found = texts.find(id);
  return found == texts.end() ? std::string() : found->second;
}
void FakeDialog::RefreshControl(int id) {
  log.push_back(StrPrintf("refresh %d", id));
  if (journal) journal->push_back(log.back());
}
void FakeDialog::SetProgressRange(int id, uint32_t max) {
  ranges[id] = max;
  log.push_back(StrPrintf("range %d %u", id, max));
  if (journal) journal->push_back(log.back());
}
void FakeDialog::SetProgressPos(int id, uint32_t pos) {
  positions[id] = pos;
  log.push_back(StrPrintf("pos %d %u", id, pos));
  if (journal) journal->push_back(log.back());
}
std::vector<std::string> FakeDialog::TextsOf(int id) const {
  std::vector<std::string> out;
  const std::string prefix = StrPrintf("text %d ", id);
  for (const std::string& line : log) {
    if (line.compare(0, prefix.size(), prefix) == 0) out.push_back(line.substr(prefix.size()));
  }
  return out;
}

// ---- file system ----
std::string FakeFileSystem::Normal(std::string path) {
  if (path.find("\\\\") == std::string::npos && (path.empty() || path.back() != '\\')) return path;
  std::string out;
  for (const char c : path) {
    if (c == '\\' && !out.empty() && out.back() == '\\') continue;
    out += c;
  }
  while (out.size() > 1 && out.back() == '\\') out.pop_back();
  return out;
}

void FakeFileSystem::AddFolderPath(const std::string& path) {
  std::string p = Normal(path);
  while (!p.empty() && p.find('\\') != std::string::npos) {
    folders.insert(p);
    p = Parent(p);
  }
  if (!p.empty()) folders.insert(p);
}

void FakeFileSystem::AddFile(const std::string& path, FakeFile file) {
  const std::string p = Normal(path);
  AddFolderPath(Parent(p));
  files[p] = std::move(file);
}

bool FakeFileSystem::Exists(const std::string& path) {
  const std::string p = Normal(path);
  return files.count(p) != 0 || folders.count(p) != 0;
}

bool FakeFileSystem::IsFolder(const std::string& path) { return folders.count(Normal(path)) != 0; }

int FakeFileSystem::CreateFolder(const std::string& path) {
  const std::string p = Normal(path);
  log.push_back("mkdir " + p);
  if (journal) journal->push_back(log.back());
  if (clock && !clock->Tick()) return 21;
  if (failCreate.count(p) != 0) return 5;
  if (Exists(p)) return 183;
  const std::string parent = Parent(p);
  if (!parent.empty() && folders.count(parent) == 0) return 3;
  folders.insert(p);
  return 0;
}

std::optional<std::vector<FolderEntry>> FakeFileSystem::List(const std::string& folder) {
  const std::string p = Normal(folder);
  if (listFails || folders.count(p) == 0) return std::nullopt;
  std::vector<FolderEntry> out;
  for (const std::string& f : folders) {
    if (Parent(f) == p) out.push_back({f.substr(p.size() + 1), true});
  }
  for (const auto& [name, file] : files) {
    if (Parent(name) == p) out.push_back({name.substr(p.size() + 1), false});
  }
  std::sort(out.begin(), out.end(), [](const FolderEntry& a, const FolderEntry& b) { return a.name < b.name; });
  return out;
}

bool FakeFileSystem::Remove(const std::string& path) {
  const std::string p = Normal(path);
  log.push_back("delete " + p);
  if (journal) journal->push_back(log.back());
  if (clock && !clock->Tick()) return false;
  const auto found = files.find(p);
  if (found == files.end() || found->second.locked) return false;
  files.erase(found);
  return true;
}

int FakeFileSystem::Copy(const std::string& from, const std::string& to) {
  const std::string a = Normal(from), b = Normal(to);
  log.push_back("copy " + a + ">" + b);
  if (journal) journal->push_back(log.back());
  if (clock && !clock->Tick()) return 21;
  const auto source = files.find(a);
  if (source == files.end()) return 2;
  if (folders.count(Parent(b)) == 0) return 3;
  const auto target = files.find(b);
  if (target != files.end() && target->second.locked) return 32;
  files[b] = source->second;
  return 0;
}

bool FakeFileSystem::Move(const std::string& from, const std::string& to) {
  const std::string a = Normal(from), b = Normal(to);
  log.push_back("move " + a + ">" + b);
  if (journal) journal->push_back(log.back());
  if (clock && !clock->Tick()) return false;
  const auto source = files.find(a);
  if (source == files.end() || files.count(b) != 0) return false;
  FakeFile moved = source->second;
  moved.locked = false;
  files.erase(source);
  files[b] = moved;
  return true;
}

bool FakeFileSystem::TruncateFile(const std::string& path) {
  log.push_back("truncate " + Normal(path));
  if (journal) journal->push_back(log.back());
  if (clock && !clock->Tick()) return false;
  files[Normal(path)] = FakeFile{};
  return true;
}

std::optional<std::string> FakeFileSystem::ReadFile(const std::string& path) {
  const auto found = files.find(Normal(path));
  if (found == files.end() || !found->second.readable) return std::nullopt;
  return found->second.content;
}

bool FakeFileSystem::WriteFileDurably(const std::string& path, const std::string& content) {
  const std::string p = Normal(path);
  log.push_back("write " + p);
  if (journal) journal->push_back(log.back());
  if (clock && !clock->Tick()) return false;
  if (folders.count(Parent(p)) == 0) return false;
  const auto existing = files.find(p);
  if (existing != files.end() && existing->second.locked) return false;
  files[p] = FakeFile{content, "", "", true, false};
  return true;
}

bool FakeFileSystem::MoveDurably(const std::string& from, const std::string& to) {
  const std::string a = Normal(from), b = Normal(to);
  log.push_back("place " + a + ">" + b);
  if (journal) journal->push_back(log.back());
  if (clock && !clock->Tick()) return false;
  const auto source = files.find(a);
  if (source == files.end() || folders.count(Parent(b)) == 0 || failPlace.count(a) != 0) return false;
  const auto target = files.find(b);
  if (target != files.end() && target->second.locked) return false;
  FakeFile moved = source->second;
  files.erase(a);
  files[b] = moved;
  return true;
}

bool FakeFileSystem::CanReplace(const std::string& path) {
  const auto found = files.find(Normal(path));
  return found == files.end() || !found->second.locked;
}

std::optional<std::string> FakeFileSystem::FileDigest(const std::string& path, DigestKind kind) {
  const auto found = files.find(Normal(path));
  if (found == files.end() || !found->second.readable) return std::nullopt;
  return kind == DigestKind::kSha1Base64 ? found->second.sha1 : found->second.sha256;
}

// ---- fetcher ----
bool FakeFetcher::Download(const std::string& url, const std::string& path, const std::string& expectedDigest,
                           ProgressView* progress) {
  calls.push_back({url, path, expectedDigest, progress != nullptr});
  if (journal) journal->push_back("download " + url);
  if (claimWithoutWriting.count(url) != 0) return true;
  const auto found = served.find(url);
  if (failing.count(url) != 0 || found == served.end()) return false;
  if (!fs_.IsFolder(Parent(FakeFileSystem::Normal(path)))) return false;
  if (!expectedDigest.empty() && found->second.sha1 != expectedDigest) return false;
  const auto existing = fs_.files.find(FakeFileSystem::Normal(path));
  if (existing != fs_.files.end() && existing->second.locked) return false;
  if (fs_.clock && !fs_.clock->Tick()) return false;
  fs_.files[FakeFileSystem::Normal(path)] = found->second;
  if (progress != nullptr) {  // as the real progress sink leaves it: the file bar full
    progress->SetProgressRange(kIdFileBar, 100);
    progress->SetProgressPos(kIdFileBar, 100);
  }
  return true;
}

void FakeFetcher::Prefetch(const std::string& url, const std::string& path, const std::string& expectedDigest) {
  prefetches.push_back({url, path, expectedDigest, false});
  if (!fs_.IsFolder(Parent(FakeFileSystem::Normal(path)))) ++hintsWithoutFolder;
  if (journal) journal->push_back("prefetch " + url);
}

std::vector<std::string> FakeFetcher::Urls() const {
  std::vector<std::string> out;
  for (const Call& c : calls) out.push_back(c.url);
  return out;
}

// ---- manifests ----
bool FakeManifests::VerifySignature(const std::string& file) {
  const auto found = fs_.files.find(FakeFileSystem::Normal(file));
  return found != fs_.files.end() && documents.count(found->second.content) != 0 &&
         badSignature.count(found->second.content) == 0;
}

ManifestLoad FakeManifests::Load(const std::string& file) {
  ++loads;
  ++loadsOf[FakeFileSystem::Normal(file)];
  const auto found = fs_.files.find(FakeFileSystem::Normal(file));
  if (found == fs_.files.end()) return {};
  const auto doc = documents.find(found->second.content);
  if (doc == documents.end()) return {};
  return doc->second;
}

// ---- registry ----
namespace {
class FakeKey : public RegistryKey {
 public:
  FakeKey(FakeRegistry::Values& values, const std::map<std::string, int>& failWrite, CrashClock* clock)
      : values_(values), failWrite_(failWrite), clock_(clock) {}
  std::optional<std::string> ReadString(const std::string& name) override {
    const auto found = values_.find(name);
    if (found == values_.end()) return std::nullopt;
    return found->second;
  }
  int WriteString(const std::string& name, const std::string& value) override {
    const auto fail = failWrite_.find(name);
    if (fail != failWrite_.end()) return fail->second;
    if (clock_ && !clock_->Tick()) return 21;
    values_[name] = value;
    return 0;
  }
  bool DeleteValue(const std::string& name) override {
    if (clock_ && !clock_->Tick()) return false;
    return values_.erase(name) != 0;
  }

 private:
  FakeRegistry::Values& values_;
  const std::map<std::string, int>& failWrite_;
  CrashClock* clock_;
};
}  // namespace

RegistryOpen FakeRegistry::OpenKey(RegistryView view, const std::string& key) {
  const auto found = keys.find({view, key});
  if (found == keys.end()) return {nullptr, 2};
  return {std::make_unique<FakeKey>(found->second, failWrite, clock), 0};
}

RegistryOpen FakeRegistry::CreateKey(RegistryView view, const std::string& key) {
  if (journal) journal->push_back("regkey " + key);
  if (failCreate.count(key) != 0) return {nullptr, 5};
  return {std::make_unique<FakeKey>(keys[{view, key}], failWrite, clock), 0};
}

const FakeRegistry::Values* FakeRegistry::Find(RegistryView view, const std::string& key) const {
  const auto found = keys.find({view, key});
  return found == keys.end() ? nullptr : &found->second;
}

// ---- processes ----
uint32_t FakeProcesses::FindProcessByName(const std::string& imageName) {
  const std::string wanted = ToLowerAscii(imageName);
  for (size_t i = 0; i < running.size(); ++i) {
    if (ToLowerAscii(running[i]) == wanted) return static_cast<uint32_t>(100 + i);
  }
  return 0;
}

WaitOutcome FakeProcesses::TerminateFirst(const std::string& imageName, uint32_t exitCode, uint32_t waitMs) {
  const uint32_t id = FindProcessByName(imageName);
  if (id == 0) return WaitOutcome::kNotStarted;
  log.push_back(StrPrintf("%s %s", exitCode == 0 ? "end" : "kill", running[id - 100].c_str()));
  if (journal) journal->push_back(log.back());
  running.erase(running.begin() + (id - 100));
  return waitMs > 0 ? WaitOutcome::kEnded : WaitOutcome::kStarted;
}

WaitOutcome FakeProcesses::Start(const std::string& program, const std::string& params, bool hidden,
                                 uint32_t waitMs) {
  starts.push_back({program, params, hidden, waitMs});
  log.push_back("start " + program + " " + params);
  if (journal) journal->push_back(log.back());
  if (waitMs == 0) return WaitOutcome::kStarted;
  return hangs.count(program) != 0 ? WaitOutcome::kTimedOut : WaitOutcome::kEnded;
}

bool FakeProcesses::WaitUntilGone(const std::vector<std::string>& imageNames, uint32_t waitMs) {
  std::string names;
  std::set<std::string> wanted;
  for (const std::string& name : imageNames) {
    names += (names.empty() ? "" : ",") + name;
    wanted.insert(ToLowerAscii(name));
  }
  log.push_back(StrPrintf("wait gone %s %u", names.c_str(), static_cast<unsigned>(waitMs)));
  if (journal) journal->push_back(log.back());
  bool gone = true;
  for (auto it = running.begin(); it != running.end();) {
    if (wanted.count(ToLowerAscii(*it)) == 0) {
      ++it;
    } else if (lingers.count(*it) != 0) {
      gone = false;
      ++it;
    } else {
      it = running.erase(it);
    }
  }
  return gone;
}

// ---- shell ----
std::optional<std::string> FakeShell::GetFolder(ShellFolder which) {
  const auto found = folderPaths.find(which);
  if (found == folderPaths.end()) return std::nullopt;
  return found->second;
}

bool FakeShell::CreateLink(const std::string& target, const std::string& linkFile) {
  links[linkFile] = target;
  if (journal) journal->push_back("link " + linkFile);
  return true;
}

bool FakeHost::Traced(const std::string& text) const {
  return std::any_of(traces.begin(), traces.end(), [&](const auto& t) { return t.first == text; });
}

// ---- world ----
World::World() : runtimes(FindRuntimeProfile(0x867)) {
  for (Journal** j : {&dialog.journal, &fs.journal, &registry.journal, &processes.journal, &shell.journal,
                      &host.journal, &notifier.journal}) {
    *j = &journal;
  }
  fetcher.journal = &journal;
  fs.clock = &crash;
  registry.clock = &crash;
  ApplyBankProfile(config, 0x867);
  config.installDir = kDir;
  config.downloadBaseUrl = kBase;
  config.serverVersion = "2.0.0.1";
  config.updateFlag = 1;
  config.optDesktopShortcut = 1;
  config.optStartMenuShortcut = 1;
  config.optQuickLaunch = 1;
  fs.AddFolderPath("C:\\Temp");
  fs.AddFolderPath(fs.currentFolder);
  fs.AddFolderPath("C:\\users\\Public\\Desktop");
  fs.AddFolderPath("C:\\ProgramData\\Programs");
  fs.AddFolderPath("C:\\users\\u\\AppData\\Microsoft\\Internet Explorer\\Quick Launch");
}

std::unique_ptr<InstallEngine> World::Engine(ProgressMode mode) {
  return std::make_unique<InstallEngine>(dialog, config, ports, mode, runtimes);
}

void World::Publish(ManifestKind kind, const std::string& document, std::vector<ManifestEntry> entries) {
  const std::string name = kind == ManifestKind::kCommon ? "Digest.xml" : "Digest_867.xml";
  manifests.documents[document] = ManifestLoad{ManifestLoad::Status::kLoaded, std::move(entries)};
  fetcher.served[std::string(kBase) + "/" + name] = FakeFile{document, "", "", true, false};
}

void World::ServeFiles(const std::vector<ManifestEntry>& entries) {
  for (const ManifestEntry& e : entries) {
    const std::string rel = e.path.empty() ? e.fileName : e.path + "\\" + e.fileName;
    const FakeFile file{"", e.digest, "", true, false};
    fetcher.served[std::string(kBase) + "/" + e.path + "/" + e.fileName] = file;  // install form
    fetcher.served[std::string(kBase) + "/" + rel] = file;                        // update form
  }
}

void World::Install(ManifestKind kind, const std::string& document, const std::vector<ManifestEntry>& entries) {
  const std::string name = kind == ManifestKind::kCommon ? "Digest.xml" : "Digest_867.xml";
  manifests.documents[document] = ManifestLoad{ManifestLoad::Status::kLoaded, entries};
  fs.AddFile(std::string(kDir) + "\\" + name, FakeFile{document, "", "", true, false});
  for (const ManifestEntry& e : entries) {
    const std::string rel = e.path.empty() ? e.fileName : e.path + "\\" + e.fileName;
    fs.AddFile(std::string(kDir) + "\\" + rel, FakeFile{"", e.digest, "", true, false});
  }
}

}  // namespace corlinq::testing
