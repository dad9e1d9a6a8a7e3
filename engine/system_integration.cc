// Folders, staging clean-up, registry entries and shortcuts.
#include "base/strings.h"
#include "engine/install_engine.h"

namespace corlinq {

void InstallEngine::CreateAssistantFolders() {
  FileSystem& files = ports_.files;
  Host& host = ports_.host;
  for (const char* sub : {"\\Data", "\\Plugins", "\\Script", "\\Tools", "\\DownLoad"}) {
    (void)CreateDirectoryPath(files, host, installDir + sub);
  }
  for (const char* sub : {"\\Data", "\\Plugins", "\\Script", "\\Tools"}) {
    (void)CreateDirectoryPath(files, host, stagingDir + sub);
  }
}

bool InstallEngine::ClearStagingFolder() { return DeleteFilesBelow(ports_.files, ports_.host, stagingDir); }

std::string InstallEngine::RecordKeyPath() const {
  return StrPrintf("Software\\%s\\Tollwyn\\WebUI\\%s\\%x", config_.registryVendor.c_str(), familyWord.c_str(),
                   static_cast<unsigned>(config_.bankId));
}

std::string InstallEngine::RecordedVersion() {
  RegistryOpen record = ports_.registry.OpenKey(RegistryView::k32, RecordKeyPath());
  if (!record.key) return {};
  return record.key->ReadString("Version").value_or("");
}

bool InstallEngine::WriteInstallRecord() {
  RegistryOpen record = ports_.registry.CreateKey(RegistryView::k32, RecordKeyPath());
  if (!record.key) return false;
  // The version last: a record that names the new version is a whole one.
  return record.key->WriteString("Path", installDir) == 0 &&
         record.key->WriteString("BankID", StrPrintf("%03x", static_cast<unsigned>(config_.bankId))) == 0 &&
         record.key->WriteString("Version", serverVersion) == 0;
}

bool InstallEngine::WriteRegistryEntries() {
  if (!WriteInstallRecord()) ports_.host.Trace("write record failed", "FALSE");
  return WriteSystemEntries();
}

bool InstallEngine::WriteSystemEntries() {
  Registry& registry = ports_.registry;
  Host& host = ports_.host;
  const unsigned bankId = static_cast<unsigned>(config_.bankId);

  RegistryOpen uninstall = registry.CreateKey(
      RegistryView::k32, "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\" + config_.productName);
  if (!uninstall.key) return false;
  (void)uninstall.key->WriteString("UninstallString", installDir + "\\" + config_.uninstallerExeName);
  (void)uninstall.key->WriteString("Publisher", "朔川科技股份有限公司");
  (void)uninstall.key->WriteString("DisplayName", config_.productName);
  (void)uninstall.key->WriteString("DisplayVersion", serverVersion);
  (void)uninstall.key->WriteString("DisplayIcon", installDir + "\\" + config_.assistantExeName);
  uninstall.key.reset();

  RegistryOpen run = registry.CreateKey(RegistryView::k64, "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run");
  if (!run.key) {
    host.Trace(StrPrintf("open run failed %d", run.error), "FALSE");
    return false;
  }
  (void)run.key->DeleteValue(config_.productName);
  if (config_.optAutoStart) {
    const int error =
        run.key->WriteString(config_.productName, installDir + StrPrintf("\\QzwardPop_%03x.exe", bankId));
    if (error != 0) {
      host.Trace(StrPrintf("write run failed %d", error), "FALSE");
      return false;
    }
  }
  return true;
}

void InstallEngine::CreateShortcuts() {
  Shell& shell = ports_.shell;
  Host& host = ports_.host;
  host.EnterCom();
  const std::string& appInstallDir = config_.installDir;
  const std::string target = appInstallDir + "\\" + config_.assistantExeName;
  const std::string linkName = config_.productName + ".lnk";

  if (config_.optDesktopShortcut) {
    SetStatus("创建桌面快捷方式");
    if (const auto desktop = shell.GetFolder(ShellFolder::kCommonDesktop)) {
      (void)shell.CreateLink(target, *desktop + "\\" + linkName);
    }
  }
  if (config_.optStartMenuShortcut) {
    const std::string programs = shell.GetFolder(ShellFolder::kCommonPrograms).value_or("");
    const std::string group = StrPrintf("%s\\%s", programs.c_str(), config_.installSubfolder.c_str());
    if (!CreateDirectoryPath(ports_.files, host, group)) host.Trace("创建开始程序组文件夹失败", "FALSE");
    (void)shell.CreateLink(target, group + "\\" + linkName);
    (void)shell.CreateLink(appInstallDir + "\\" + config_.uninstallerExeName,
                           group + "\\" + config_.productName + "卸载程序.lnk");
    shell.NotifyFolderCreated(group);
  }
  if (config_.optQuickLaunch) {
    SetStatus("创建快速启动选项");
    if (const auto appData = shell.GetFolder(ShellFolder::kAppData)) {
      (void)shell.CreateLink(target, *appData + "\\Microsoft\\Internet Explorer\\Quick Launch\\" + linkName);
    }
  }
  host.LeaveCom();
}

}  // namespace corlinq
