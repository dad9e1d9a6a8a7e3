// digest-tool against the program's verifier: what the tool signs verifies with the built-in key,
// and no single changed byte outside the free bytes survives.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "manifest/manifest_entries.h"
#include "manifest/manifest_verify.h"

namespace corlinq {
namespace {

namespace fs = std::filesystem;

std::string Read(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}
void Write(const fs::path& p, const std::string& s) {
  fs::create_directories(p.parent_path());
  std::ofstream(p, std::ios::binary | std::ios::trunc) << s;
}
int Tool(const std::string& args) {
  const std::string cmd = std::string("'") + DIGEST_TOOL + "' " + args + " >/dev/null 2>&1";
  const int rc = std::system(cmd.c_str());
  return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}
std::string Q(const fs::path& p) { return "'" + p.string() + "'"; }
// Runs the tool; its exit code, and what it printed in out.
int ToolSays(const std::string& args, const fs::path& log, std::string& out) {
  const std::string cmd = std::string("'") + DIGEST_TOOL + "' " + args + " >" + Q(log) + " 2>&1";
  const int rc = std::system(cmd.c_str());
  out = Read(log);
  return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

class DigestToolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("corlinq_digest_tool_" +
                                        std::string(::testing::UnitTest::GetInstance()
                                                        ->current_test_info()->name()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }
  const std::string key_ = std::string(CORLINQ_SOURCE_DIR) + "/keys/manifest-signing.pem";
  const std::string pub_ = std::string(CORLINQ_SOURCE_DIR) + "/keys/manifest-public.pem";
  fs::path dir_;
};

TEST_F(DigestToolTest, MakeSortsFilesIntoCommonAndBankManifests) {
  const fs::path rel = dir_ / "release";
  Write(rel / "WebUI_867.exe", "exe");
  Write(rel / "Other_868.dll", "other bank");
  Write(rel / "bin" / "core.dll", "");
  Write(rel / "skin" / "867" / "logo.png", "png");
  Write(rel / "帮助" / "说明 & 注意.txt", "help");
  Write(rel / "Digest.xml", "old manifest");
  Write(rel / "Digest_867.xml", "old bank manifest");
  ASSERT_EQ(Tool("make " + Q(rel) + " --bank 867 --out " + Q(dir_ / "out")), 0);

  ManifestXml common, bank;
  ASSERT_TRUE(common.Load((dir_ / "out" / "Digest.xml").string()));
  ASSERT_TRUE(bank.Load((dir_ / "out" / "Digest_867.xml").string()));
  std::vector<ManifestEntry> c, b;
  std::string error;
  ASSERT_TRUE(ReadManifestEntries(common, c, error)) << error;
  ASSERT_TRUE(ReadManifestEntries(bank, b, error)) << error;
  ASSERT_EQ(c.size(), 3u);
  EXPECT_EQ(c[0].path + "|" + c[0].fileName, "|Other_868.dll");
  EXPECT_EQ(c[1].path + "|" + c[1].fileName, "bin|core.dll");
  EXPECT_EQ(c[1].digest, "2jmj7l5rSw0yVb/vlWAYkK/YBwk=");  // SHA-1 of nothing
  EXPECT_EQ(c[2].path + "|" + c[2].fileName, "帮助|说明 & 注意.txt");
  ASSERT_EQ(b.size(), 2u);
  EXPECT_EQ(b[0].path + "|" + b[0].fileName, "|WebUI_867.exe");
  EXPECT_EQ(b[1].path + "|" + b[1].fileName, "skin\\867|logo.png");
  for (const auto& e : c) EXPECT_EQ(e.digest.size(), 28u);
}

TEST_F(DigestToolTest, MakeRefusesNamesWindowsCannotHold) {
  for (const char* bad : {"a:b.txt", "a?.txt", "x\\y.txt", "trailing.", "\x01x"}) {
    fs::remove_all(dir_ / "r");
    Write(dir_ / "r" / bad, "x");
    EXPECT_NE(Tool("make " + Q(dir_ / "r") + " --bank 867"), 0) << bad;
  }
}

// make and sign refuse exactly what the downloader's reader refuses, and say which entry.
TEST_F(DigestToolTest, MakeAndSignRefuseWhatTheDownloaderRefusesNamingTheEntry) {
  const std::string deep = std::string(200, 'd') + "/" + std::string(60, 'e');
  struct MakeCase {
    std::vector<std::string> files;  // below the release folder, "/" separated
    const char* named;               // in the message; "" when make must succeed
  } makes[] = {
      {{"a..b.txt", "v1..2/x.dll", "DownLoads/y.dll"}, ""},
      {{"ok.txt", "CON"}, "CON"},
      {{"con.txt"}, "con.txt"},
      {{"CONIN$"}, "CONIN$"},
      {{"COM\xC2\xB9"}, "COM\xC2\xB9"},
      {{"lpt1/a.dll"}, "lpt1"},
      {{"a:b.txt"}, "a:b.txt"},
      {{"x\\y.txt"}, "x\\y.txt"},
      {{"trailing."}, "trailing."},
      {{"DownLoad/a.txt"}, "FileName \"a.txt\""},
      {{"download/Data/x.dll"}, "Path \"download\\Data\""},
      {{"a.txt", "A.txt"}, "listed twice"},
      {{deep + "/abc"}, "longer than 259"},
  };
  for (const MakeCase& c : makes) {
    SCOPED_TRACE(c.files.back());
    const fs::path rel = dir_ / "r";
    fs::remove_all(rel);
    fs::create_directories(rel);
    for (const std::string& f : c.files) Write(rel / f, "x");
    std::string out;
    const int rc = ToolSays("make " + Q(rel) + " --bank 867", dir_ / "log", out);
    if (c.named[0] == '\0') {
      EXPECT_EQ(rc, 0) << out;
    } else {
      EXPECT_NE(rc, 0);
      EXPECT_NE(out.find(c.named), std::string::npos) << out;
      EXPECT_FALSE(fs::exists(rel / "Digest.xml"));
    }
  }
  const std::string good = "<File Path=\"\" FileName=\"a\" Digest=\"2jmj7l5rSw0yVb/vlWAYkK/YBwk=\"/>";
  struct SignCase {
    std::string text;
    const char* named;  // "" when sign must succeed
  } signs[] = {
      {"<D><FileInfo>" + good + "</FileInfo></D>\r\n", ""},
      {"<D><FileInfo>" + good + "<File Path=\"..\\x\" FileName=\"b\" Digest=\"2jmj7l5rSw0yVb/vlWAYkK/YBwk=\"/>"
       "</FileInfo></D>\r\n", "entry 2 (Path \"..\\x\", FileName \"b\"): invalid Path"},
      {"<D><FileInfo>" + good + "<File FileName=\"c\" Digest=\"\"/></FileInfo></D>\r\n", "FileName \"c\""},
      {"<D><FileInfo>" + good + "<File FileName=\"NUL\" Digest=\"2jmj7l5rSw0yVb/vlWAYkK/YBwk=\"/></FileInfo></D>",
       "FileName \"NUL\""},
      {"<D>" + good + "</D>", "no FileInfo element"},
      {"<D><FileInfo>" + good + "</FileInfo></Dx>", "not well-formed XML"},
  };
  for (const SignCase& c : signs) {
    SCOPED_TRACE(c.text);
    const fs::path file = dir_ / "m.xml";
    Write(file, c.text);
    std::string out;
    const int rc = ToolSays("sign --key '" + key_ + "' " + Q(file), dir_ / "log", out);
    if (c.named[0] == '\0') {
      EXPECT_EQ(rc, 0) << out;
      EXPECT_TRUE(VerifyManifestFile(file.string(), ManifestPublicKey()));
    } else {
      EXPECT_NE(rc, 0);
      EXPECT_NE(out.find(c.named), std::string::npos) << out;
      EXPECT_EQ(Read(file), c.text);
    }
  }
}

TEST_F(DigestToolTest, SignedDemoManifestsVerifyAndEveryChangedByteBreaksThem) {
  const fs::path demo = CORLINQ_DEMO_RELEASE;
  for (const char* name : {"Digest.xml", "Digest_867.xml"}) {
    EXPECT_TRUE(VerifyManifestFile((demo / name).string(), ManifestPublicKey())) << name;
    EXPECT_EQ(Tool("verify --pubkey '" + pub_ + "' " + Q(demo / name)), 0) << name;
  }
  // A small manifest signed by the tool; every byte flipped in turn.
  const fs::path file = dir_ / "Digest.xml";
  Write(file, "<?xml version=\"1.0\"?>\r\n<D>\r\n<FileInfo>\r\n<File Path=\"\" FileName=\"a\" "
              "Digest=\"2jmj7l5rSw0yVb/vlWAYkK/YBwk=\"/>\r\n</FileInfo>\r\n</D>\r\n");
  ASSERT_EQ(Tool("sign --key '" + key_ + "' " + Q(file)), 0);
  const std::string signedText = Read(file);
  ASSERT_TRUE(VerifyManifestBytes(signedText, ManifestPublicKey()));
  const size_t last = signedText.rfind('<');
  ASSERT_EQ(signedText.substr(last - kSignBlockSize, kSignOpenSize), "\r\n<Sign>");
  ASSERT_EQ(signedText.substr(last - kSignFreeBytes, kSignFreeBytes), "</Sign>\r\n");
  int survived = 0;
  for (size_t i = 0; i < signedText.size(); ++i) {
    if (i >= last - kSignFreeBytes && i < last) continue;
    for (unsigned char flip : {0x01, 0x20, 0x80}) {
      std::string changed = signedText;
      changed[i] = static_cast<char>(changed[i] ^ flip);
      // The lenient decoding reads a hex letter in either case and every non-digit as 0, so a
      // change that leaves the decoded signature as it was is no change.
      const size_t hexStart = last - kSignBlockSize + kSignOpenSize;
      const bool sameSignature =
          i >= hexStart && i < hexStart + kSignHexDigits &&
          HexDecodeLenient(changed.substr(hexStart, kSignHexDigits)) ==
              HexDecodeLenient(signedText.substr(hexStart, kSignHexDigits));
      if (VerifyManifestBytes(changed, ManifestPublicKey()) != sameSignature) {
        ++survived;
        ADD_FAILURE() << "byte " << i << " flip " << int(flip);
      }
    }
  }
  EXPECT_EQ(survived, 0);
  // The free bytes are free.
  std::string freeChanged = signedText;
  freeChanged.replace(last - kSignFreeBytes, kSignFreeBytes, "123456789");
  EXPECT_TRUE(VerifyManifestBytes(freeChanged, ManifestPublicKey()));
}

TEST_F(DigestToolTest, ToolVerifyRejectsTamperingAndSignAfreshReplacesTheBlock) {
  const fs::path file = dir_ / "m.xml";
  Write(file, "<D><FileInfo/></D>\r\n");
  EXPECT_NE(Tool("verify --pubkey '" + pub_ + "' " + Q(file)), 0);  // unsigned
  ASSERT_EQ(Tool("sign --key '" + key_ + "' " + Q(file)), 0);
  ASSERT_EQ(Tool("sign --key '" + key_ + "' " + Q(file)), 0);  // again: one block, not two
  const std::string text = Read(file);
  EXPECT_EQ(text.size(), std::string("<D><FileInfo/></D>\r\n").size() + kSignBlockSize);
  EXPECT_EQ(Tool("verify --pubkey '" + pub_ + "' " + Q(file)), 0);
  std::string changed = text;
  changed[1] = 'E';
  Write(file, changed);
  EXPECT_NE(Tool("verify --pubkey '" + pub_ + "' " + Q(file)), 0);
  EXPECT_NE(Tool("nonsense"), 0);
}

}  // namespace
}  // namespace corlinq
