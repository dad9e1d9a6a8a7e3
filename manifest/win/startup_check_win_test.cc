#include "manifest/win/startup_check_win.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

namespace corlinq::win {
namespace {

TEST(StartupCheckWinTest, ProgramFolderEndsWithABackslash) {
  const std::string folder = ProgramFolder();
  ASSERT_FALSE(folder.empty());
  EXPECT_EQ(folder.back(), '\\');
  EXPECT_TRUE(std::filesystem::exists(std::filesystem::u8path(folder + "manifest_win_tests.exe")));
}

TEST(StartupCheckWinTest, ListsEveryEntryWithItsKind) {
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / std::filesystem::u8path("corlinq_列表");
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir / "sub.dll");
  for (const char* name : {"a.dll", "网银.DLL", "b&c^%PATH%.dll"}) {
    std::ofstream(dir / std::filesystem::u8path(name)) << "x";
  }
  Win32FolderLister lister;
  std::vector<FolderEntry> entries;
  ASSERT_TRUE(lister.List(dir.u8string() + "\\", entries));
  std::vector<std::string> files, dirs;
  for (const FolderEntry& e : entries) (e.isDirectory ? dirs : files).push_back(e.name);
  std::sort(files.begin(), files.end());
  std::sort(dirs.begin(), dirs.end());
  EXPECT_EQ(files, (std::vector<std::string>{"a.dll", "b&c^%PATH%.dll", "网银.DLL"}));
  EXPECT_EQ(dirs, (std::vector<std::string>{".", "..", "sub.dll"}));
  EXPECT_FALSE(lister.List(dir.u8string() + "\\missing\\", entries));
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace corlinq::win
