#pragma once
// The Windows side of the start-up folder check: the program's folder, the folder listing and the
// warning console.
#include <string>
#include <vector>

#include "manifest/manifest_xml.h"
#include "manifest/startup_check.h"

namespace corlinq::win {

// The folder of the running program (GetModuleFileNameW), UTF-8, with its trailing backslash.
// Empty when the path cannot be had.
[[nodiscard]] std::string ProgramFolder();

// FindFirstFileW/FindNextFileW over folder + "*", in the order the file system yields them.
class Win32FolderLister : public FolderLister {
 public:
  [[nodiscard]] bool List(const std::string& folder, std::vector<FolderEntry>& out) override;
};

// Shows text as plain characters in a console of the process (a new one for a program without
// one), then "请按任意键继续. . . " and waits for a key. No command interpreter is involved, so
// nothing in text is ever run. There is no wait when the process's standard input was redirected
// (a file, a pipe, the null device: nobody is there to press a key), and the wait ends when the
// console input cannot be read.
void ShowWarningConsole(const std::string& text);

// Phase A of start-up: stores the build's bank id into AppConfig, checks the program's own
// folder (manifests beside the program are loaded into manifestDoc), and when an unlisted library
// lies there shows the warning console and returns false; the caller then ends the process with
// exit(0). Diagnostics go to the debugger output channel.
[[nodiscard]] bool RunStartupFolderCheck(ManifestXml& manifestDoc);
// The same with a document of its own.
[[nodiscard]] bool RunStartupFolderCheck();

}  // namespace corlinq::win
