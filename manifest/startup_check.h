#pragma once
// The start-up check of the program's own folder: every library file (".dll") in it must be
// listed by a signed manifest lying beside the program, or carry one of the program's own names.
#include <functional>
#include <string>
#include <vector>

#include "manifest/manifest_xml.h"

#include "base/folder_entry.h"

namespace corlinq {

// One entry of a folder listing, as the platform's enumeration yields it ("." and ".." included
// or not; they are skipped either way).

// Port: lists a folder in the platform's enumeration order. False when the folder cannot be read.
class FolderLister {
 public:
  virtual ~FolderLister() = default;
  [[nodiscard]] virtual bool List(const std::string& folder, std::vector<FolderEntry>& out) = 0;
};

struct StartupCheckPorts {
  FolderLister& lister;
  // True when the manifest at path exists and its signature verifies (production:
  // VerifyManifestFile(path, ManifestPublicKey())).
  std::function<bool(const std::string& path)> verify;
  // Diagnostic lines (production: the debugger output channel).
  std::function<void(const std::string& line)> trace;
};

inline constexpr char kKnownNamesHeading[] = "Digest中的文件列表-------------";
inline constexpr char kCandidatesHeading[] = "需要检查的文件列表-------------";

// The file names (own letter case) of the non-directory entries of folder whose last four
// characters, lower-cased, are ".dll", in enumeration order.
[[nodiscard]] std::vector<std::string> ListDllFiles(FolderLister& lister,
                                                    const std::string& folder);

// The manifests looked for beside the program: folder + "Digest.XML", folder + "Digest_%03x.xml".
// programFolder ends with its separator.
[[nodiscard]] std::vector<std::string> StartupManifestPaths(const std::string& programFolder,
                                                            int bankId);

// The program's own names: "corlinq_%03x.exe", "corlinq.exe", "corlinq_old.exe".
[[nodiscard]] std::vector<std::string> OwnProgramNames(int bankId);

// Runs the check on programFolder (ending with its separator). Verified manifests are loaded into
// manifestDoc; their "FileName" values and the program's own names are the known names. A library
// is known when some known name, lower-cased, occurs inside its lower-cased name. Returns true
// when every library is known; otherwise appends the first unknown name, lower-cased, to
// unexpected and returns false.
[[nodiscard]] bool CheckStartupFolder(const std::string& programFolder, int bankId,
                                      const StartupCheckPorts& ports, ManifestXml& manifestDoc,
                                      std::vector<std::string>& unexpected);

// The warning shown for an unexpected library name.
[[nodiscard]] std::string StartupWarningText(const std::string& name);

}  // namespace corlinq
