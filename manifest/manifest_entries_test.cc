#include "manifest/manifest_entries.h"
#include "manifest/manifest_load.h"

#include <gtest/gtest.h>


namespace corlinq {
namespace {

constexpr char kDigest[] = "2jmj7l5rSw0yVb/vlWAYkK/YBwk=";

// One File element; a valid Digest is added unless the attributes carry their own.
std::string OneEntry(const std::string& attributes) {
  const std::string digest =
      attributes.find("Digest=") == std::string::npos ? std::string(" Digest=\"") + kDigest + "\"" : "";
  return "<Digest><FileInfo><File " + attributes + digest + "/></FileInfo></Digest>";
}

TEST(ManifestEntriesTest, ReadsEveryEntryOfFileInfo) {
  ManifestXml doc;
  ASSERT_TRUE(doc.Parse(
      "<Digest><FileInfo>"
      "<File Path=\"bin\\x64\" FileName=\"a.dll\" Digest=\"2jmj7l5rSw0yVb/vlWAYkK/YBwk=\"/>"
      "<!-- comment -->"
      "<File FileName=\"帮助.chm\" Digest=\"qUqP5cyxm6YcTAhz05Hph5gvu9M=\"/>"
      "<File Path=\"\" FileName=\"WebUI_867.exe\" Digest=\"+/09azAZ+/09azAZ+/09azAZ+/0=\"/>"
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
  EXPECT_EQ(entries[2].digest, "+/09azAZ+/09azAZ+/09azAZ+/0=");
}

// What the reader makes of a whole document: a manifest is refused, never taken as empty, when
// its File elements are not the ones FileInfo counts.
TEST(ManifestEntriesTest, DocumentsThatAreNotAManifestAreRefused) {
  const std::string file = std::string("<File FileName=\"a.dll\" Digest=\"") + kDigest + "\"/>";
  struct Case {
    std::string xml;
    bool loads;
    const char* error;
  } cases[] = {
      {"<Digest><FileInfo></FileInfo></Digest>", true, ""},
      {"<Digest><FileInfo>" + file + "</FileInfo></Digest>", true, ""},
      {"<Digest><FileInfo><Other/></FileInfo></Digest>", false, "entry 1: missing File element"},
      {"<Digest></Digest>", false, "no FileInfo element"},
      {"<Digest>" + file + "</Digest>", false, "no FileInfo element"},
      {"<Digest><Fileinfo>" + file + "</Fileinfo></Digest>", false, "no FileInfo element"},
      {"<Digest><FileInfo/>" + file + "</Digest>", false, "1 File elements, but FileInfo counts 0 entries"},
      {"<Digest><FileInfo>" + file + "</FileInfo>" + file + "</Digest>", false,
       "2 File elements, but FileInfo counts 1 entries"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.xml);
    ManifestXml doc;
    ASSERT_TRUE(doc.Parse(c.xml));
    std::vector<ManifestEntry> entries;
    std::string error;
    EXPECT_EQ(ReadManifestEntries(doc, entries, error), c.loads);
    EXPECT_EQ(error, c.error);
    const ManifestLoad load = LoadManifestText(c.xml);
    EXPECT_EQ(load.status, c.loads ? ManifestLoad::Status::kLoaded : ManifestLoad::Status::kInvalidEntry);
  }
  // Not XML at all: the signed file whose closing "</Sign>" was changed, and one nested deeper
  // than the parser goes.
  std::string nested;
  for (int i = 0; i < 100000; ++i) nested += "<a>";
  for (int i = 0; i < 100000; ++i) nested += "</a>";
  for (const std::string& text : {std::string("<Digest><FileInfo>") + file + "</FileInfo>\r\n<Sign>00</Sigx>\r\n</Digest>",
                                  nested}) {
    const ManifestLoad load = LoadManifestText(text);
    EXPECT_EQ(load.status, ManifestLoad::Status::kUnloadable);
    EXPECT_TRUE(load.entries.empty());
    EXPECT_FALSE(load.error.empty());
  }
  EXPECT_EQ(LoadManifestFile("/nonexistent/Digest.xml").status, ManifestLoad::Status::kUnloadable);
}

TEST(ManifestEntriesTest, TheEntryRules) {
  const std::string name255(255, 'n');
  const std::string han85 = [] {  // 85 characters of three UTF-8 bytes: 85 UTF-16 units
    std::string s;
    for (int i = 0; i < 85; ++i) s += "\xE5\xB8\xAE";
    return s;
  }();
  const std::string emoji128 = [] {  // 128 characters beyond U+FFFF: 256 UTF-16 units
    std::string s;
    for (int i = 0; i < 128; ++i) s += "\xF0\x9F\x98\x80";
    return s;
  }();
  struct Case {
    std::string attributes;
    EntryResult expected;
  } cases[] = {
      {R"(Path="bin" FileName="a.dll")", EntryResult::kOk},
      {R"(Path="a b\c.d" FileName="x y.txt")", EntryResult::kOk},
      {R"(FileName="a.dll")", EntryResult::kOk},
      // Two dots inside a name are a plain name.
      {R"(FileName="a..b.txt")", EntryResult::kOk},
      {R"(Path="v1..2\..x" FileName="..a")", EntryResult::kOk},
      {R"(FileName="a&amp;b^%PATH%.dll")", EntryResult::kOk},
      {R"(FileName="console.dll")", EntryResult::kOk},
      {R"(FileName="com10")", EntryResult::kOk},
      {R"(FileName="lpt")", EntryResult::kOk},
      {R"(FileName="conin.txt")", EntryResult::kOk},
      {R"(Path="DownLoads" FileName="a.dll")", EntryResult::kOk},
      {R"(Path="Data\DownLoad" FileName="a.dll")", EntryResult::kOk},
      {"FileName=\"" + name255 + "\"", EntryResult::kOk},
      {"Path=\"" + han85 + "\" FileName=\"" + han85 + "\"", EntryResult::kOk},
      // Components "." and "..", separators, drives and streams.
      {R"(Path=".." FileName="a.dll")", EntryResult::kInvalidPath},
      {R"(Path="bin\..\.." FileName="a.dll")", EntryResult::kInvalidPath},
      {R"(Path="." FileName="a.dll")", EntryResult::kInvalidPath},
      {R"(Path="bin\." FileName="a.dll")", EntryResult::kInvalidPath},
      {R"(Path="\Windows" FileName="a.dll")", EntryResult::kInvalidPath},
      {R"(Path="\\server\share" FileName="a.dll")", EntryResult::kInvalidPath},
      {R"(Path="\\?\C:\Windows" FileName="a.dll")", EntryResult::kInvalidPath},
      {R"(Path="/etc" FileName="a.dll")", EntryResult::kInvalidPath},
      {R"(Path="bin\" FileName="a.dll")", EntryResult::kInvalidPath},
      {R"(Path="bin\\x" FileName="a.dll")", EntryResult::kInvalidPath},
      {R"(Path="bin/x" FileName="a.dll")", EntryResult::kInvalidPath},
      {R"(Path="C:\Windows" FileName="a.dll")", EntryResult::kInvalidPath},
      {R"(Path="C:" FileName="a.dll")", EntryResult::kInvalidPath},
      {R"(Path="x:y" FileName="a.dll")", EntryResult::kInvalidPath},
      {R"(Path="bin*" FileName="a.dll")", EntryResult::kInvalidPath},
      {R"(Path="bin&#9;x" FileName="a.dll")", EntryResult::kInvalidPath},
      {R"(Path="bin." FileName="a.dll")", EntryResult::kInvalidPath},
      {R"(Path="bin " FileName="a.dll")", EntryResult::kInvalidPath},
      {R"(Path="con" FileName="a.dll")", EntryResult::kInvalidPath},
      {"Path=\"\xB0\xA1\" FileName=\"a.dll\"", EntryResult::kInvalidPath},
      {R"(Path="bin")", EntryResult::kInvalidFileName},
      {R"(Path="bin" FileName="")", EntryResult::kInvalidFileName},
      {R"(FileName="..")", EntryResult::kInvalidFileName},
      {R"(FileName=".")", EntryResult::kInvalidFileName},
      {R"(FileName="..\..\a.dll")", EntryResult::kInvalidFileName},
      {R"(FileName="bin\a.dll")", EntryResult::kInvalidFileName},
      {R"(FileName="/a.dll")", EntryResult::kInvalidFileName},
      {R"(FileName="C:a.dll")", EntryResult::kInvalidFileName},
      {R"(FileName="a.dll:stream")", EntryResult::kInvalidFileName},
      {R"(FileName="a&lt;b.dll")", EntryResult::kInvalidFileName},
      {R"(FileName="a&gt;b")", EntryResult::kInvalidFileName},
      {R"(FileName="a&quot;b")", EntryResult::kInvalidFileName},
      {R"(FileName="a|b")", EntryResult::kInvalidFileName},
      {R"(FileName="a?")", EntryResult::kInvalidFileName},
      {R"(FileName="a*")", EntryResult::kInvalidFileName},
      {R"(FileName="a&#1;b")", EntryResult::kInvalidFileName},
      {R"(FileName="a.dll ")", EntryResult::kInvalidFileName},
      {R"(FileName="a.dll.")", EntryResult::kInvalidFileName},
      // Device names, with or without an extension, in any letter case.
      {R"(FileName="CON")", EntryResult::kInvalidFileName},
      {R"(FileName="prn.txt")", EntryResult::kInvalidFileName},
      {R"(FileName="Aux.dll")", EntryResult::kInvalidFileName},
      {R"(FileName="NUL.txt")", EntryResult::kInvalidFileName},
      {R"(FileName="nul .txt")", EntryResult::kInvalidFileName},
      {R"(FileName="com1")", EntryResult::kInvalidFileName},
      {R"(FileName="COM0.log")", EntryResult::kInvalidFileName},
      {R"(FileName="lpt9")", EntryResult::kInvalidFileName},
      {R"(FileName="LPT0.x.y")", EntryResult::kInvalidFileName},
      {R"(FileName="CONIN$")", EntryResult::kInvalidFileName},
      {R"(FileName="conout$.txt")", EntryResult::kInvalidFileName},
      {"FileName=\"COM\xC2\xB9\"", EntryResult::kInvalidFileName},
      {"FileName=\"com\xC2\xB2.txt\"", EntryResult::kInvalidFileName},
      {"FileName=\"LPT\xC2\xB3\"", EntryResult::kInvalidFileName},
      {"Path=\"lpt\xC2\xB9\" FileName=\"a.dll\"", EntryResult::kInvalidPath},
      // Lengths in UTF-16 units: a component, and the whole relative name.
      {"FileName=\"" + name255 + "n\"", EntryResult::kInvalidFileName},
      {"FileName=\"" + emoji128 + "\"", EntryResult::kInvalidFileName},
      {"Path=\"" + name255 + "\" FileName=\"abc\"", EntryResult::kOk},
      {"Path=\"" + name255 + "\" FileName=\"abcd\"", EntryResult::kTooLong},
      {"Path=\"" + han85 + "\\" + han85 + "\\" + han85 + "\" FileName=\"abcd\"", EntryResult::kTooLong},
      // The staging folder is the downloader's own.
      {R"(Path="DownLoad" FileName="a.dll")", EntryResult::kReservedFolder},
      {R"(Path="download\Data" FileName="a.dll")", EntryResult::kReservedFolder},
      {R"(FileName="DOWNLOAD")", EntryResult::kReservedFolder},
      // Every entry carries a Base64 SHA-1.
      {R"(FileName="a.dll" Digest="")", EntryResult::kInvalidDigest},
      {R"(FileName="a.dll" Digest="d")", EntryResult::kInvalidDigest},
      {R"(FileName="a.dll" Digest="2jmj7l5rSw0yVb/vlWAYkK/YBwk")", EntryResult::kInvalidDigest},
      {R"(FileName="a.dll" Digest="2jmj7l5rSw0yVb/vlWAYkK/YBwkA")", EntryResult::kInvalidDigest},
      {R"(FileName="a.dll" Digest="2jmj7l5rSw0yVb-vlWAYkK/YBwk=")", EntryResult::kInvalidDigest},
      {R"(FileName="a.dll" Digest=" jmj7l5rSw0yVb/vlWAYkK/YBwk=")", EntryResult::kInvalidDigest},
      {R"(FileName="a.dll" Digest="2jmj7l5rSw0yVb/vlWAYkK/YBwk==")", EntryResult::kInvalidDigest},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.attributes.substr(0, 80));
    ManifestXml doc;
    ASSERT_TRUE(doc.Parse(OneEntry(c.attributes)));
    ManifestEntry entry;
    EXPECT_EQ(ReadManifestEntry(doc, 1, entry), c.expected);
    std::vector<ManifestEntry> entries;
    std::string error;
    EXPECT_EQ(ReadManifestEntries(doc, entries, error), c.expected == EntryResult::kOk) << error;
    if (c.expected != EntryResult::kOk) {
      EXPECT_TRUE(entries.empty());
      EXPECT_NE(error.find(EntryResultText(c.expected)), std::string::npos) << error;
    }
  }
}

TEST(ManifestEntriesTest, OneBadEntryRefusesTheWholeListAndIsNamed) {
  struct Case {
    std::vector<ManifestEntry> entries;
    const char* error;
  } cases[] = {
      {{{"", "a", kDigest}, {"..", "b", kDigest}}, "entry 2 (Path \"..\", FileName \"b\"): invalid Path"},
      {{{"", "a", kDigest}, {"", "b", ""}},
       "entry 2 (Path \"\", FileName \"b\"): Digest is not a 28-character Base64 SHA-1"},
      // The same file twice, letter case ignored: which copy would count is not defined.
      {{{"Bin", "a.dll", kDigest}, {"", "x", kDigest}, {"bin", "A.DLL", kDigest}},
       "entry 3 (Path \"bin\", FileName \"A.DLL\"): listed twice (letter case ignored)"},
      {{{"", "a", kDigest}, {"", "A", kDigest}}, "entry 2 (Path \"\", FileName \"A\"): listed twice (letter case ignored)"},
      // The first entry in list order that is refused is named, whichever rule refuses it.
      {{{"", "a", kDigest}, {"", "b", kDigest}, {"", "b", kDigest}, {"", "a", kDigest}},
       "entry 3 (Path \"\", FileName \"b\"): listed twice (letter case ignored)"},
      {{{"", "a", kDigest}, {"", "a", kDigest}, {"..", "b", kDigest}},
       "entry 2 (Path \"\", FileName \"a\"): listed twice (letter case ignored)"},
      {{{"", "a", kDigest}, {"..", "b", kDigest}, {"", "a", kDigest}}, "entry 2 (Path \"..\", FileName \"b\"): invalid Path"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.error);
    std::string error;
    EXPECT_FALSE(CheckManifestEntries(c.entries, error));
    EXPECT_EQ(error, c.error);
  }
  // The same name in different folders, and different names in one, are fine.
  std::string error;
  EXPECT_TRUE(CheckManifestEntries({{"", "a", kDigest}, {"x", "a", kDigest}, {"x", "b", kDigest}}, error)) << error;

  ManifestXml doc;
  ASSERT_TRUE(doc.Parse(std::string("<D><FileInfo><File FileName=\"a\" Digest=\"") + kDigest +
                        "\"/><File Path=\"..\" FileName=\"b\" Digest=\"" + kDigest + "\"/></FileInfo></D>"));
  std::vector<ManifestEntry> entries;
  EXPECT_FALSE(ReadManifestEntries(doc, entries, error));
  EXPECT_TRUE(entries.empty());
  EXPECT_EQ(error, "entry 2 (Path \"..\", FileName \"b\"): invalid Path");
}

TEST(ManifestEntriesTest, BankManifestName) {
  EXPECT_EQ(BankManifestName(0x867), "Digest_867.xml");
  EXPECT_EQ(BankManifestName(0x5), "Digest_005.xml");
  EXPECT_EQ(BankManifestName(0x1abc), "Digest_1abc.xml");
}

}  // namespace
}  // namespace corlinq
