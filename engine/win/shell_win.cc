#include <windows.h>
// After windows.h:
#include <objbase.h>
#include <shlobj.h>

#include "base/win/wide.h"
#include "engine/win/win_ports.h"

namespace corlinq::win {
namespace {

// Releases a COM interface on every path.
template <typename T>
struct ComRelease {
  void operator()(T* p) const {
    if (p) p->Release();
  }
};
template <typename T>
using ComPtr = std::unique_ptr<T, ComRelease<T>>;

}  // namespace

std::optional<std::string> WinShell::GetFolder(ShellFolder which) {
  int csidl = CSIDL_COMMON_DESKTOPDIRECTORY;
  if (which == ShellFolder::kCommonPrograms) csidl = CSIDL_COMMON_PROGRAMS;
  if (which == ShellFolder::kAppData) csidl = CSIDL_APPDATA;
  wchar_t path[MAX_PATH] = {};
  if (FAILED(SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, path))) return std::nullopt;
  return WideToUtf8(path);
}

bool WinShell::CreateLink(const std::string& target, const std::string& linkFile) {
  IShellLinkW* rawLink = nullptr;
  if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                              reinterpret_cast<void**>(&rawLink)))) {
    return false;
  }
  ComPtr<IShellLinkW> link(rawLink);
  IPersistFile* rawFile = nullptr;
  if (FAILED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&rawFile)))) return false;
  ComPtr<IPersistFile> file(rawFile);
  if (FAILED(link->SetPath(Utf8ToWide(target).c_str()))) return false;
  return SUCCEEDED(file->Save(Utf8ToWide(linkFile).c_str(), FALSE));
}

void WinShell::NotifyFolderCreated(const std::string& path) {
  const std::wstring folder = Utf8ToWide(path);
  SHChangeNotify(SHCNE_MKDIR | SHCNE_INTERRUPT, SHCNF_PATHW | SHCNF_FLUSH, folder.c_str(), nullptr);
  const size_t cut = folder.find_last_of(L'\\');
  const std::wstring parent = cut == std::wstring::npos ? folder : folder.substr(0, cut);
  SHChangeNotify(SHCNE_UPDATEDIR | SHCNE_INTERRUPT, SHCNF_PATHW | SHCNF_FLUSH, parent.c_str(), nullptr);
}

}  // namespace corlinq::win
