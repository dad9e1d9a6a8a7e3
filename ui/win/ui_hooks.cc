#include "ui/win/ui_hooks.h"

#include <windows.h>

#include <utility>

#include "base/win/wide.h"

namespace corlinq::win {
namespace {

UiHooks& Hooks() {
  static UiHooks hooks;
  return hooks;
}

}  // namespace

void SetUiHooks(UiHooks hooks) { Hooks() = std::move(hooks); }

const UiHooks& TheUiHooks() { return Hooks(); }

bool CreateDirectoryTree(const std::string& dir) {
  const std::wstring path = Utf8ToWide(dir);
  if (path.empty()) return false;
  // Every prefix that ends before a separator, then the whole path.
  for (size_t i = 1; i <= path.size(); ++i) {
    if (i < path.size() && path[i] != L'\\') continue;
    const std::wstring prefix = path.substr(0, i);
    if (prefix.size() == 2 && prefix[1] == L':') continue;  // "C:"
    if (prefix.back() == L'\\') continue;
    if (!CreateDirectoryW(prefix.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) return false;
  }
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

int DriveTypeOf(const std::string& firstPiece) {
  // The platform wants a root with its separator ("C:\").
  return static_cast<int>(GetDriveTypeW(Utf8ToWide(firstPiece + "\\").c_str()));
}

}  // namespace corlinq::win
