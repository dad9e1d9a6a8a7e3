#include "manifest/manifest_entries.h"

#include <gtest/gtest.h>

namespace corlinq {
namespace {

std::string OneEntry(const std::string& attributes) {
  return "<Digest><FileInfo><File " + attributes + "/></FileInfo></Digest>";
}

TEST(ManifestEntriesTest, ReadsEveryEntryOfFileInfo) {
  ManifestXml doc;
  ASSERT_TRUE(doc.Parse(
      "<Digest><FileInfo>"
      "<File Path=\"bin\\x64\" FileName=\"a.dll\" Digest=\"2jmj7l5rSw0yVb/vlWAYkK/YBwk=\"/>"
      "<!-- comment -->"
      "<File FileName=\"帮助.chm\" Digest=\"d\"/>"
      "<File Path=\"\" FileName=\"WebUI_867.exe\"/>"
      "</FileInfo></Digest>"));
  std::vector<ManifestEntry> entries;
  std::string error;
  ASSERT_TRUE(ReadManifestEntries(doc, entries, error)) << error;
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[0].path, "bin\\x64");
  EXPECT_EQ(entries[0].fileName, "a.dll");
  EXPECT_EQ(entries[0].digest, "2jmj7l5rSw0yVb/vlWAYkK/YBwk=");
  EXPECT_EQ(entries[1].path, "");
  EXPECT_EQ(entries[1].fileName, "帮助.chm");
  EXPECT_EQ(entries[2].digest, "");  // missing Digest reads as empty
}

TEST(ManifestEntriesTest, CountWithoutFileElementsIsAMissingEntry) {
  ManifestXml doc;
  ASSERT_TRUE(doc.Parse("<Digest><FileInfo><Other/></FileInfo></Digest>"));
  ManifestEntry entry;
  EXPECT_EQ(ReadManifestEntry(doc, 1, entry), EntryResult::kMissing);
  std::vector<ManifestEntry> entries;
  std::string error;
  EXPECT_FALSE(ReadManifestEntries(doc, entries, error));
  EXPECT_EQ(error, "entry 1: missing File element");
}

TEST(ManifestEntriesTest, RefusesEntriesThatLeaveTheInstallFolder) {
  struct Case {
    std::string attributes;
    EntryResult expected;
  } cases[] = {
      {R"(Path="bin" FileName="a.dll")", EntryResult::kOk},
      {R"(Path="a b\c.d" FileName="x y.txt")", EntryResult::kOk},
      {R"(FileName="a.dll")", EntryResult::kOk},
      {R"(Path=".." FileName="a.dll")", EntryResult::kInvalidPath},
      {R"(Path="bin\..\.." FileName="a.dll")", EntryResult::kInvalidPath},
      {R"(Path="." FileName="a.dll")", EntryResult::kInvalidPath},
      {R"(Path="\Windows" FileName="a.dll")", EntryResult::kInvalidPath},
      {R"(Path="/etc" FileName="a.dll")", EntryResult::kInvalidPath},
      {R"(Path="bin\" FileName="a.dll")", EntryResult::kInvalidPath},
      {R"(Path="bin\\x" FileName="a.dll")", EntryResult::kInvalidPath},
      {R"(Path="bin/x" FileName="a.dll")", EntryResult::kInvalidPath},
      {R"(Path="C:\Windows" FileName="a.dll")", EntryResult::kInvalidPath},
      {R"(Path="C:" FileName="a.dll")", EntryResult::kInvalidPath},
      {R"(Path="bin*" FileName="a.dll")", EntryResult::kInvalidPath},
      {R"(Path="bin&#9;x" FileName="a.dll")", EntryResult::kInvalidPath},
      {R"(Path="bin." FileName="a.dll")", EntryResult::kInvalidPath},
      {R"(Path="con" FileName="a.dll")", EntryResult::kInvalidPath},
      {"Path=\"\xB0\xA1\" FileName=\"a.dll\"", EntryResult::kInvalidPath},
      {R"(Path="bin")", EntryResult::kInvalidFileName},
      {R"(Path="bin" FileName="")", EntryResult::kInvalidFileName},
      {R"(FileName="..")", EntryResult::kInvalidFileName},
      {R"(FileName="..\..\a.dll")", EntryResult::kInvalidFileName},
      {R"(FileName="bin\a.dll")", EntryResult::kInvalidFileName},
      {R"(FileName="/a.dll")", EntryResult::kInvalidFileName},
      {R"(FileName="C:a.dll")", EntryResult::kInvalidFileName},
      {R"(FileName="a&lt;b.dll")", EntryResult::kInvalidFileName},
      {R"(FileName="a&gt;b")", EntryResult::kInvalidFileName},
      {R"(FileName="a&quot;b")", EntryResult::kInvalidFileName},
      {R"(FileName="a|b")", EntryResult::kInvalidFileName},
      {R"(FileName="a?")", EntryResult::kInvalidFileName},
      {R"(FileName="a*")", EntryResult::kInvalidFileName},
      {R"(FileName="a&#1;b")", EntryResult::kInvalidFileName},
      {R"(FileName="a.dll ")", EntryResult::kInvalidFileName},
      {R"(FileName="NUL.txt")", EntryResult::kInvalidFileName},
      {R"(FileName="com1")", EntryResult::kInvalidFileName},
      {R"(FileName="a&amp;b^%PATH%.dll")", EntryResult::kOk},
      {R"(FileName="console.dll")", EntryResult::kOk},
  };
  for (const Case& c : cases) {
    ManifestXml doc;
    ASSERT_TRUE(doc.Parse(OneEntry(c.attributes))) << c.attributes;
    ManifestEntry entry;
    EXPECT_EQ(ReadManifestEntry(doc, 1, entry), c.expected) << c.attributes;
    std::vector<ManifestEntry> entries;
    std::string error;
    EXPECT_EQ(ReadManifestEntries(doc, entries, error), c.expected == EntryResult::kOk)
        << c.attributes;
    if (c.expected != EntryResult::kOk) {
      EXPECT_TRUE(entries.empty());
    }
  }
}

TEST(ManifestEntriesTest, OneBadEntryRefusesTheWholeList) {
  ManifestXml doc;
  ASSERT_TRUE(doc.Parse("<D><FileInfo><File FileName=\"a\"/><File Path=\"..\" FileName=\"b\"/>"
                        "</FileInfo></D>"));
  std::vector<ManifestEntry> entries;
  std::string error;
  EXPECT_FALSE(ReadManifestEntries(doc, entries, error));
  EXPECT_TRUE(entries.empty());
  EXPECT_EQ(error, "entry 2: invalid Path \"..\"");
}

TEST(ManifestEntriesTest, BankManifestName) {
  EXPECT_EQ(BankManifestName(0x867), "Digest_867.xml");
  EXPECT_EQ(BankManifestName(0x5), "Digest_005.xml");
  EXPECT_EQ(BankManifestName(0x1abc), "Digest_1abc.xml");
}

}  // namespace
}  // namespace corlinq
