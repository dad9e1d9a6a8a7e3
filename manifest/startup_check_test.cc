#include "manifest/startup_check.h"

#include <gtest/gtest.h>

#include <map>

#include "manifest/manifest_verify.h"
#include "manifest/test_signer.h"

namespace corlinq {
namespace {

class FakeLister : public FolderLister {
 public:
  std::vector<FolderEntry> entries;
  bool ok = true;
  std::string listed;
  bool List(const std::string& folder, std::vector<FolderEntry>& out) override {
    listed = folder;
    out = entries;
    return ok;
  }
};

std::string ManifestListing(const std::vector<std::string>& names) {
  std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<Digest>\r\n<FileInfo>\r\n";
  for (const std::string& n : names) xml += "<File Path=\"\" FileName=\"" + n + "\" Digest=\"\"/>\r\n";
  return xml + "</FileInfo>\r\n</Digest>\r\n";
}

struct Folder {
  std::vector<FolderEntry> entries;
  std::map<std::string, std::string> files;  // manifests written beside the program
};

struct Outcome {
  bool ok;
  std::vector<std::string> unexpected;
  std::vector<std::string> trace;
};

Outcome RunCheck(const Folder& folder) {
  const std::string dir = testing::MakeTempFolder("program");
  for (const auto& [name, bytes] : folder.files) testing::WriteTempFile("program/" + name, bytes);
  FakeLister lister;
  lister.entries = folder.entries;
  Outcome outcome;
  StartupCheckPorts ports{
      lister, [](const std::string& path) { return VerifyManifestFile(path, ManifestPublicKey()); },
      [&](const std::string& line) { outcome.trace.push_back(line); }};
  ManifestXml doc;
  outcome.ok = CheckStartupFolder(dir, 0x867, ports, doc, outcome.unexpected);
  EXPECT_EQ(lister.listed, dir);
  return outcome;
}

std::vector<FolderEntry> Files(std::initializer_list<const char*> names) {
  std::vector<FolderEntry> out{{".", true}, {"..", true}};
  for (const char* n : names) out.push_back({n, false});
  return out;
}

TEST(ListDllFilesTest, KeepsLibraryFilesInEnumerationOrder) {
  FakeLister lister;
  lister.entries = {{".", true},           {"..", true},        {"b.dll", false},
                    {"A.DLL", false},      {"x.dll.txt", false}, {"dir.dll", true},
                    {".dll", false},       {"dll", false},      {"c.Dll", false},
                    {"库.dll", false},     {"notdll", false}};
  EXPECT_EQ(ListDllFiles(lister, "f/"),
            (std::vector<std::string>{"b.dll", "A.DLL", ".dll", "c.Dll", "库.dll"}));
  lister.ok = false;
  EXPECT_TRUE(ListDllFiles(lister, "f/").empty());
}

TEST(CheckStartupFolderTest, DecidesWhichLibrariesAreKnown) {
  const std::string key = testing::DemoPrivateKeyPem();
  const auto signedListing = [&](const std::vector<std::string>& names) {
    return testing::SignManifestText(ManifestListing(names), key);
  };
  std::string broken = signedListing({"x.dll"});
  broken[60] ^= 1;
  struct Case {
    const char* what;
    Folder folder;
    bool ok;
    std::vector<std::string> unexpected;
  } cases[] = {
      {"no libraries, no manifests", {Files({"a.txt", "corlinq_867.exe"}), {}}, true, {}},
      {"unlisted library", {Files({"x.dll"}), {}}, false, {"x.dll"}},
      {"upper-case .DLL is a candidate", {Files({"X.DLL"}), {}}, false, {"x.dll"}},
      {".dll.txt and a folder are not", {{{"x.dll.txt", false}, {"d.dll", true}}, {}}, true, {}},
      {"listed in the common manifest",
       {Files({"x.dll"}), {{"Digest.XML", signedListing({"x.dll"})}}}, true, {}},
      {"listed in the bank manifest",
       {Files({"x.dll"}), {{"Digest_867.xml", signedListing({"x.dll"})}}}, true, {}},
      {"other letter case is known",
       {Files({"Helper.DLL"}), {{"Digest.XML", signedListing({"hELPER.dll"})}}}, true, {}},
      {"a name containing a known name is known",
       {Files({"xabc.dll"}), {{"Digest.XML", signedListing({"abc.dll"})}}}, true, {}},
      {"an empty FileName makes every library known",
       {Files({"evil.dll"}), {{"Digest.XML", signedListing({""})}}}, true, {}},
      {"broken signature: its entries do not count",
       {Files({"x.dll"}), {{"Digest.XML", broken}}}, false, {"x.dll"}},
      {"unsigned manifest does not count",
       {Files({"x.dll"}), {{"Digest.XML", ManifestListing({"x.dll"})}}}, false, {"x.dll"}},
      {"two unlisted libraries: the first is named",
       {Files({"B.dll", "a.dll"}), {}}, false, {"b.dll"}},
      {"own program name inside a library name",
       {Files({"corlinq_867.exe.dll", "corlinq.exe.dll"}), {}}, true, {}},
      {"Chinese name listed",
       {Files({"网银.dll"}), {{"Digest_867.xml", signedListing({"网银.dll"})}}}, true, {}},
      {"shell characters are just a name", {Files({"a&calc^%PATH%.dll"}), {}}, false,
       {"a&calc^%path%.dll"}},
  };
  for (const Case& c : cases) {
    const Outcome got = RunCheck(c.folder);
    EXPECT_EQ(got.ok, c.ok) << c.what;
    EXPECT_EQ(got.unexpected, c.unexpected) << c.what;
  }
}

TEST(CheckStartupFolderTest, TracesKnownNamesThenCandidates) {
  Folder folder{Files({"a.dll", "x.txt"}),
                {{"Digest.XML", testing::SignManifestText(ManifestListing({"a.dll", "b.exe"}),
                                                          testing::DemoPrivateKeyPem())}}};
  const Outcome got = RunCheck(folder);
  EXPECT_TRUE(got.ok);
  EXPECT_EQ(got.trace, (std::vector<std::string>{
                           kKnownNamesHeading, "a.dll", "b.exe", "corlinq_867.exe", "corlinq.exe",
                           "corlinq_old.exe", kKnownNamesHeading, kCandidatesHeading, "a.dll",
                           kCandidatesHeading}));
}

TEST(CheckStartupFolderTest, WarningText) {
  EXPECT_EQ(StartupWarningText("a&b.dll"),
            "网银助手下载器路径下存在异常文件，异常文件路径:(a&b.dll)，请把下载器拷贝到其他路径运行！！");
}

}  // namespace
}  // namespace corlinq
