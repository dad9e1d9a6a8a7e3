#include "manifest/startup_check.h"

#include "base/strings.h"

namespace corlinq {

std::vector<std::string> ListDllFiles(FolderLister& lister, const std::string& folder) {
  std::vector<FolderEntry> entries;
  std::vector<std::string> names;
  if (!lister.List(folder, entries)) return names;
  for (const FolderEntry& e : entries) {
    if (e.isDirectory || e.name == "." || e.name == "..") continue;
    const std::string tail = e.name.size() > 4 ? e.name.substr(e.name.size() - 4) : e.name;
    if (ToLowerAscii(tail) == ".dll") names.push_back(e.name);
  }
  return names;
}

std::vector<std::string> StartupManifestPaths(const std::string& programFolder, int bankId) {
  return {programFolder + "Digest.XML", programFolder + StrPrintf("Digest_%03x.xml", bankId)};
}

std::vector<std::string> OwnProgramNames(int bankId) {
  return {StrPrintf("corlinq_%03x.exe", bankId), "corlinq.exe", "corlinq_old.exe"};
}

std::string StartupWarningText(const std::string& name) {
  return "网银助手下载器路径下存在异常文件，异常文件路径:(" + name +
         ")，请把下载器拷贝到其他路径运行！！";
}

bool CheckStartupFolder(const std::string& programFolder, int bankId,
                        const StartupCheckPorts& ports, ManifestXml& manifestDoc,
                        std::vector<std::string>& unexpected) {
  const auto trace = [&](const std::string& line) {
    if (ports.trace) ports.trace(line);
  };
  std::vector<std::string> known;
  for (const std::string& path : StartupManifestPaths(programFolder, bankId)) {
    if (!ports.verify || !ports.verify(path)) continue;
    if (!manifestDoc.Load(path)) continue;
    const int count = manifestDoc.CountChildElements("FileInfo", 1);
    for (int i = 1; i <= count; ++i) known.push_back(manifestDoc.GetAttribute("File", "FileName", i));
  }
  for (std::string& own : OwnProgramNames(bankId)) known.push_back(std::move(own));

  trace(kKnownNamesHeading);
  for (const std::string& name : known) trace(name);
  trace(kKnownNamesHeading);

  const std::vector<std::string> candidates = ListDllFiles(ports.lister, programFolder);
  trace(kCandidatesHeading);
  for (const std::string& name : candidates) trace(name);
  trace(kCandidatesHeading);

  std::vector<std::string> knownLower;
  knownLower.reserve(known.size());
  for (const std::string& name : known) knownLower.push_back(ToLowerAscii(name));
  for (const std::string& candidate : candidates) {
    const std::string lower = ToLowerAscii(candidate);
    bool isKnown = false;
    for (const std::string& name : knownLower) {
      if (lower.find(name) != std::string::npos) {
        isKnown = true;
        break;
      }
    }
    if (!isKnown) {
      unexpected.push_back(lower);
      return false;
    }
  }
  return true;
}

}  // namespace corlinq
