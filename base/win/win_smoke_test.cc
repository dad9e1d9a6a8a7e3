// Proves the cross build against the real Win32 calls under Wine: registry, mutexes, files with
// Chinese names.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "base/win/scoped_handle.h"
#include "base/win/wide.h"

namespace corlinq::win {
namespace {

TEST(WinSmoke, RegistryRoundTripWithChineseValue) {
  const std::wstring keyPath = L"Software\\CorlinqSmokeTest";
  ScopedHKey key;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, keyPath.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                            key.receive(), nullptr),
            ERROR_SUCCESS);
  const std::wstring value = Utf8ToWide("\xE6\x81\x92\xE6\xBE\x8D\xE9\x93\xB6\xE8\xA1\x8C");
  ASSERT_EQ(RegSetValueExW(key.get(), L"Name", 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                           static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t))),
            ERROR_SUCCESS);
  wchar_t buffer[64] = {};
  DWORD size = sizeof(buffer);
  ASSERT_EQ(RegQueryValueExW(key.get(), L"Name", nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &size),
            ERROR_SUCCESS);
  EXPECT_EQ(std::wstring(buffer), value);
  key.reset();
  EXPECT_EQ(RegDeleteKeyW(HKEY_CURRENT_USER, keyPath.c_str()), ERROR_SUCCESS);
}

TEST(WinSmoke, SecondMutexOfTheSameNameReportsAlreadyExists) {
  ScopedHandle first(CreateMutexW(nullptr, FALSE, L"corlinq_smoke_mutex"));
  ASSERT_TRUE(first.valid());
  ScopedHandle second(CreateMutexW(nullptr, FALSE, L"corlinq_smoke_mutex"));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
}

TEST(WinSmoke, FileWithChineseNameIsFoundAgain) {
  wchar_t temp[MAX_PATH];
  ASSERT_GT(GetTempPathW(MAX_PATH, temp), 0u);
  const std::wstring path = std::wstring(temp) + Utf8ToWide("\xE5\x8A\xA9\xE6\x89\x8B.txt");  // 助手.txt
  {
    ScopedHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    ASSERT_TRUE(file.valid());
  }
  EXPECT_NE(GetFileAttributesW(path.c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_TRUE(DeleteFileW(path.c_str()));
}

}  // namespace
}  // namespace corlinq::win
