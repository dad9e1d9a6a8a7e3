// digest-tool against the program's verifier: what the tool signs verifies with the built-in key,
// and no single changed byte outside the free bytes survives.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "manifest/manifest_entries.h"
#include "manifest/manifest_verify.h"
#include "manifest/release_statement.h"

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

// The release statement the tool writes is the one the program reads: under the signature, with
// each manifest naming the other's file list as the program digests it.
TEST_F(DigestToolTest, ReleaseStatementNamesTheCompanionAsTheProgramReadsIt) {
  const fs::path rel = dir_ / "release";
  Write(rel / "WebUI_867.exe", "exe");
  Write(rel / "bin" / "core.dll", "core");
  Write(rel / "帮助" / "说明.txt", "help");
  ASSERT_EQ(Tool("make " + Q(rel) + " --bank 867 --release-version 2.0.0.1 --expires 2027-06-30T00:00:00Z"), 0);
  const fs::path files[] = {rel / "Digest.xml", rel / "Digest_867.xml"};
  std::vector<ManifestEntry> entries[2];
  ReleaseStatement statements[2];
  for (int i = 0; i < 2; ++i) {
    ASSERT_EQ(Tool("sign --key " + Q(key_) + " " + Q(files[i])), 0);
    const std::string text = Read(files[i]);
    ASSERT_TRUE(VerifyManifestBytes(text, ManifestPublicKey())) << files[i];
    ManifestXml doc;
    ASSERT_TRUE(doc.Parse(text));
    std::string error;
    ASSERT_TRUE(ReadManifestEntries(doc, entries[i], error)) << error;
    ASSERT_EQ(ReadReleaseStatement(doc, statements[i]), StatementRead::kValid) << text;
    EXPECT_EQ(statements[i].version, "2.0.0.1");
    EXPECT_EQ(statements[i].expiresUnix, ParseUtcTime("2027-06-30T00:00:00Z"));
  }
  ASSERT_EQ(entries[0].size(), 2u);
  ASSERT_EQ(entries[1].size(), 1u);
  EXPECT_EQ(statements[0].manifest, "Digest.xml");
  EXPECT_EQ(statements[0].companion, "Digest_867.xml");
  EXPECT_EQ(statements[0].companionList, EntryListDigest(entries[1]));
  EXPECT_EQ(statements[1].manifest, "Digest_867.xml");
  EXPECT_EQ(statements[1].companion, "Digest.xml");
  EXPECT_EQ(statements[1].companionList, EntryListDigest(entries[0]));

  // Without the option the manifests are as before: no statement.
  ASSERT_EQ(Tool("make " + Q(rel) + " --bank 867"), 0);
  ManifestXml plain;
  ASSERT_TRUE(plain.Load(files[0].string()));
  ReleaseStatement none;
  EXPECT_EQ(ReadReleaseStatement(plain, none), StatementRead::kAbsent);

  for (const char* bad : {"--release-version 2.0.x", "--release-version 1.2.3.4.5", "--release-version ''",
                          "--expires 2027-06-30T00:00:00Z", "--release-version 2 --expires 2027-02-30T00:00:00Z",
                          "--release-version 2 --expires 2027-06-30", "--release-version"}) {
    EXPECT_NE(Tool("make " + Q(rel) + " --bank 867 " + bad), 0) << bad;
  }
}

TEST_F(DigestToolTest, MakeRefusesNamesWindowsCannotHold) {
  for (const char* bad : {"a:b.txt", "a?.txt", "x\\y.txt", "trailing.", "\x01x"}) {
    fs::remove_all(dir_ / "r");
    Write(dir_ / "r" / bad, "x");
    EXPECT_NE(Tool("make " + Q(dir_ / "r") + " --bank 867"), 0) << bad;
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
