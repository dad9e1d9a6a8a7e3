#include <windows.h>

#include "base/win/scoped_handle.h"
#include "base/win/wide.h"
#include "engine/win/win_ports.h"

namespace corlinq::win {
namespace {

REGSAM ViewFlag(RegistryView view) { return view == RegistryView::k32 ? KEY_WOW64_32KEY : KEY_WOW64_64KEY; }

class WinRegistryKey : public RegistryKey {
 public:
  explicit WinRegistryKey(ScopedHKey key) : key_(std::move(key)) {}

  std::optional<std::string> ReadString(const std::string& name) override {
    // Values are read whole; anything that is not text reads as missing.
    const std::wstring wideName = Utf8ToWide(name);
    DWORD type = 0;
    DWORD size = 0;
    if (RegQueryValueExW(key_.get(), wideName.c_str(), nullptr, &type, nullptr, &size) != ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ)) {
      return std::nullopt;
    }
    std::wstring buffer(size / sizeof(wchar_t) + 1, L'\0');
    DWORD bytes = static_cast<DWORD>(buffer.size() * sizeof(wchar_t));
    if (RegQueryValueExW(key_.get(), wideName.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(buffer.data()),
                         &bytes) != ERROR_SUCCESS) {
      return std::nullopt;
    }
    buffer.resize(wcsnlen(buffer.c_str(), bytes / sizeof(wchar_t)));
    return WideToUtf8(buffer);
  }

  int WriteString(const std::string& name, const std::string& value) override {
    const std::wstring wideValue = Utf8ToWide(value);
    return static_cast<int>(RegSetValueExW(key_.get(), Utf8ToWide(name).c_str(), 0, REG_SZ,
                                           reinterpret_cast<const BYTE*>(wideValue.c_str()),
                                           static_cast<DWORD>((wideValue.size() + 1) * sizeof(wchar_t))));
  }

  bool DeleteValue(const std::string& name) override {
    return RegDeleteValueW(key_.get(), Utf8ToWide(name).c_str()) == ERROR_SUCCESS;
  }

 private:
  ScopedHKey key_;
};

}  // namespace

RegistryOpen WinRegistry::OpenKey(RegistryView view, const std::string& key) {
  ScopedHKey handle;
  const LONG error =
      RegOpenKeyExW(HKEY_LOCAL_MACHINE, Utf8ToWide(key).c_str(), 0, KEY_READ | ViewFlag(view), handle.receive());
  if (error != ERROR_SUCCESS) return {nullptr, static_cast<int>(error)};
  return {std::make_unique<WinRegistryKey>(std::move(handle)), 0};
}

RegistryOpen WinRegistry::CreateKey(RegistryView view, const std::string& key) {
  ScopedHKey handle;
  const LONG error = RegCreateKeyExW(HKEY_LOCAL_MACHINE, Utf8ToWide(key).c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                     KEY_ALL_ACCESS | ViewFlag(view), nullptr, handle.receive(), nullptr);
  if (error != ERROR_SUCCESS) return {nullptr, static_cast<int>(error)};
  return {std::make_unique<WinRegistryKey>(std::move(handle)), 0};
}

}  // namespace corlinq::win
