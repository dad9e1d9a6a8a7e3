// digest-tool against the program's verifier: what the tool signs verifies with the built-in key,
// and no single changed byte outside the free bytes survives.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>

#include "manifest/manifest_entries.h"
#include "manifest/manifest_verify.h"
#include "manifest/test_signer.h"
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
  struct Run {
    int rc;
    std::string out, err;
  };
  // The tool with its output kept; stdin is never a terminal here.
  Run Exec(const std::string& args, const std::string& env = "") {
    const std::string cmd = env + " '" + std::string(DIGEST_TOOL) + "' " + args + " >" +
                            Q(dir_ / "stdout") + " 2>" + Q(dir_ / "stderr") + " </dev/null";
    const int rc = std::system(cmd.c_str());
    return {WIFEXITED(rc) ? WEXITSTATUS(rc) : -1, Read(dir_ / "stdout"), Read(dir_ / "stderr")};
  }
  // A small release, made and signed with the demo key.
  fs::path SignedRelease() {
    const fs::path rel = dir_ / "release";
    Write(rel / "WebUI_867.exe", "exe");
    Write(rel / "bin" / "core.dll", "core");
    Write(rel / "帮助" / "说明.txt", "help");
    EXPECT_EQ(Tool("make " + Q(rel) + " --bank 867"), 0);
    EXPECT_EQ(Tool("sign --key '" + key_ + "' " + Q(rel / "Digest.xml") + " " +
                   Q(rel / "Digest_867.xml")),
              0);
    return rel;
  }
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

TEST_F(DigestToolTest, CommandLineFollowsTheUsualConventions) {
  const fs::path rel = dir_ / "r";
  Write(rel / "WebUI_5a5.exe", "x");
  struct Case {
    std::string args;
    int rc;
    std::string out;  // stdout must hold this
    std::string err;  // stderr must hold this
  } cases[] = {
      {"--help", 0, "digest-tool check --pubkey", ""},
      {"check --help", 0, "digest-tool keygen", ""},
      {"--version", 0, "digest-tool ", ""},
      {"make --bank=5a5 " + Q(rel), 0, "Digest_5a5.xml: 1 files", ""},
      {"make " + Q(rel) + " --out=" + Q(dir_ / "o1") + " --bank 0x5A5", 0, "Digest_5a5.xml: 1", ""},
      {"make " + Q(rel) + " --bank 0X5a5 --out " + Q(dir_ / "o2"), 0, "Digest_5a5.xml: 1", ""},
      {"make --bank 42 --out " + Q(dir_ / "o3") + " " + Q(rel), 0, "Digest_042.xml: 0", ""},
      {"", 2, "", "no command given"},
      {"frobnicate x", 2, "", "unknown command \"frobnicate\""},
      {"--frobnicate", 2, "", "unknown option --frobnicate"},
      {"make " + Q(rel) + " --bank zz", 2, "", "--bank \"zz\" is not a bank id"},
      {"make " + Q(rel) + " --bank 0x0x5a5", 2, "", "\"0x0x5a5\" is not a bank id"},
      {"make " + Q(rel), 2, "", "make wants --bank"},
      {"make " + Q(rel) + " --bank 5a5 --key k", 2, "", "--key is not an option of make"},
      {"make " + Q(rel) + " extra --bank 5a5", 2, "", "\"extra\" is one too many"},
      {"sign --key", 2, "", "--key wants a value"},
      {"sign --key k", 2, "", "sign wants FILE..."},
      {"verify --pubkey=p --pubkey=q f", 2, "", "--pubkey is given twice"},
  };
  for (const Case& c : cases) {
    const Run r = Exec(c.args);
    EXPECT_EQ(r.rc, c.rc) << c.args << "\n" << r.err;
    EXPECT_NE(r.out.find(c.out), std::string::npos) << c.args << ": " << r.out;
    EXPECT_NE(r.err.find(c.err), std::string::npos) << c.args << ": " << r.err;
    if (c.rc == 2) {
      EXPECT_TRUE(r.out.empty()) << c.args;
    }
  }
  EXPECT_TRUE(fs::exists(dir_ / "o1" / "Digest_5a5.xml"));
  EXPECT_TRUE(fs::exists(dir_ / "o3" / "Digest_042.xml"));
}

TEST_F(DigestToolTest, KeyFailuresNameTheFileAndTheReason) {
  Write(dir_ / "m.xml", "<D><FileInfo/></D>\r\n");
  ASSERT_EQ(Tool("keygen " + Q(dir_ / "other.pem") + " " + Q(dir_ / "other-pub.pem")), 0);
  const std::string m = Q(dir_ / "m.xml");
  struct Case {
    std::string args;
    std::string err;
  } cases[] = {
      {"sign --key " + Q(dir_) + " " + m, ": Is a directory"},
      {"sign --key " + Q(dir_ / "none.pem") + " " + m, "none.pem: No such file or directory"},
      {"sign --key '" + pub_ + "' " + m, "manifest-public.pem holds no private key in PEM ("},
      {"sign --key '" + key_ + "' " + Q(dir_ / "none.xml"), "none.xml: No such file or directory"},
      {"verify --pubkey " + Q(dir_ / "none.pem") + " " + m, "none.pem: No such file or directory"},
      {"verify --pubkey " + m + " " + m, "m.xml holds no RSA public key in PEM ("},
      {"verify --pubkey '" + pub_ + "' " + m, "m.xml: no signature block"},
  };
  for (const Case& c : cases) {
    const Run r = Exec(c.args);
    EXPECT_EQ(r.rc, 1) << c.args << "\n" << r.err;
    EXPECT_NE(r.err.find(c.err), std::string::npos) << c.args << ": " << r.err;
  }
  // A wrong key and a changed file are told apart.
  ASSERT_EQ(Tool("sign --key '" + key_ + "' " + m), 0);
  Run r = Exec("verify --pubkey " + Q(dir_ / "other-pub.pem") + " " + m);
  EXPECT_EQ(r.rc, 1);
  EXPECT_NE(r.err.find("does not open under this public key"), std::string::npos) << r.err;
  std::string text = Read(dir_ / "m.xml");
  text[1] = 'E';
  Write(dir_ / "m.xml", text);
  r = Exec("verify --pubkey '" + pub_ + "' " + m);
  EXPECT_EQ(r.rc, 1);
  EXPECT_NE(r.err.find("the file was changed after signing"), std::string::npos) << r.err;
}

TEST_F(DigestToolTest, KeygenKeepsExistingKeysAndTakesAPassphraseFromAFileOrTheEnvironment) {
  const fs::path priv = dir_ / "k.pem", pub = dir_ / "k-pub.pem";
  ASSERT_EQ(Tool("keygen " + Q(priv) + " " + Q(pub)), 0);
  EXPECT_EQ(fs::status(priv).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);
  const std::string first = Read(priv);
  Run r = Exec("keygen " + Q(priv) + " " + Q(dir_ / "new-pub.pem"));
  EXPECT_EQ(r.rc, 1);
  EXPECT_NE(r.err.find("k.pem exists"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("--force"), std::string::npos) << r.err;
  EXPECT_EQ(Read(priv), first);
  EXPECT_FALSE(fs::exists(dir_ / "new-pub.pem"));
  ASSERT_EQ(Tool("keygen --force " + Q(priv) + " " + Q(pub)), 0);
  EXPECT_NE(Read(priv), first);

  // An encrypted key: made with the passphrase from the environment, used with it from a file.
  const fs::path epriv = dir_ / "e.pem", epub = dir_ / "e-pub.pem";
  ASSERT_EQ(Exec("keygen --passphrase-env=DT_PASS " + Q(epriv) + " " + Q(epub),
                 "DT_PASS='correct horse'").rc, 0);
  EXPECT_NE(Read(epriv).find("ENCRYPTED PRIVATE KEY"), std::string::npos);
  Write(dir_ / "pass.txt", "correct horse\n");
  Write(dir_ / "wrong.txt", "battery staple\n");
  Write(dir_ / "m.xml", "<D><FileInfo/></D>\r\n");
  const std::string m = Q(dir_ / "m.xml");
  r = Exec("sign --key " + Q(epriv) + " " + m);
  EXPECT_EQ(r.rc, 1);
  EXPECT_NE(r.err.find("e.pem is encrypted: give its passphrase"), std::string::npos) << r.err;
  r = Exec("sign --key " + Q(epriv) + " --passphrase-file " + Q(dir_ / "wrong.txt") + " " + m);
  EXPECT_EQ(r.rc, 1);
  EXPECT_NE(r.err.find("wrong passphrase"), std::string::npos) << r.err;
  r = Exec("sign " + m + " --passphrase-env DT_UNSET --key " + Q(epriv));
  EXPECT_EQ(r.rc, 1);
  EXPECT_NE(r.err.find("DT_UNSET holds no passphrase"), std::string::npos) << r.err;
  ASSERT_EQ(Exec("sign " + m + " --key " + Q(epriv) + " --passphrase-file=" + Q(dir_ / "pass.txt")).rc, 0);
  EXPECT_EQ(Tool("verify --pubkey " + Q(epub) + " " + m), 0);
  ASSERT_EQ(Exec("sign --key " + Q(epriv) + " --passphrase-env DT_PASS " + m,
                 "DT_PASS='correct horse'").rc, 0);
  EXPECT_EQ(Tool("verify --pubkey " + Q(epub) + " " + m), 0);
}

TEST_F(DigestToolTest, CheckReportsEachProblemOfAReleaseWithItsOwnMessage) {
  const std::string pub = "--pubkey '" + pub_ + "' ";
  const fs::path rel = SignedRelease();
  Run r = Exec("check " + pub + Q(rel));
  EXPECT_EQ(r.rc, 0) << r.out;
  EXPECT_NE(r.out.find("release checks out"), std::string::npos) << r.out;
  ASSERT_EQ(Exec("check " + Q(rel) + " --bank=0x867 --json " + pub).rc, 0);

  ASSERT_EQ(Tool("keygen " + Q(dir_ / "other.pem") + " " + Q(dir_ / "other-pub.pem")), 0);
  struct Case {
    const char* what;
    std::function<void()> damage;
    std::string line;  // the problem's line
  } cases[] = {
      {"tampered file", [&] { Write(rel / "bin" / "core.dll", "c0re"); },
       "tampered: bin/core.dll: the content does not match Digest.xml"},
      {"missing file", [&] { fs::remove(rel / "帮助" / "说明.txt"); },
       "missing: 帮助/说明.txt: listed in Digest.xml, not in the release"},
      {"missing bank file", [&] { fs::remove(rel / "WebUI_867.exe"); },
       "missing: WebUI_867.exe: listed in Digest_867.xml"},
      {"changed manifest", [&] {
         std::string t = Read(rel / "Digest.xml");
         t.replace(t.find("core.dll"), 8, "Core.dll");
         Write(rel / "Digest.xml", t);
       }, "bad-signature: Digest.xml: the content does not match the signature"},
      {"signed with another key", [&] {
         ASSERT_EQ(Tool("sign --key " + Q(dir_ / "other.pem") + " " + Q(rel / "Digest_867.xml")), 0);
       }, "bad-signature: Digest_867.xml: the signature does not open under this public key"},
      {"unsigned manifest", [&] { ASSERT_EQ(Tool("make " + Q(rel) + " --bank 867"), 0); },
       "bad-signature: Digest.xml: no signature block"},
      {"missing manifest", [&] { fs::remove(rel / "Digest_867.xml"); },
       "missing: Digest_867.xml: cannot read"},
      {"unlisted file", [&] { Write(rel / "bin" / "extra.dll", "x"); },
       "unlisted: bin/extra.dll: in the release but in no manifest"},
      // digest-tool signs neither of the next two; another signer of the bank might.
      {"path out of the release", [&] {
         std::string t = Read(rel / "Digest.xml");
         t.erase(t.find("\r\n<Sign>"), kSignBlockSize);
         t.replace(t.find("Path=\"bin\""), 10, "Path=\"..\"");
         Write(rel / "Digest.xml", testing::SignManifestText(t, testing::DemoPrivateKeyPem()));
       }, "unsafe-path: ../core.dll: listed in Digest.xml with a path outside the release"},
      {"the same file twice", [&] {
         std::string t = Read(rel / "Digest.xml");
         t.erase(t.find("\r\n<Sign>"), kSignBlockSize);
         const size_t at = t.find("</FileInfo>");
         t.insert(at, "<File Path=\"BIN\" FileName=\"CORE.DLL\" Digest=\"2jmj7l5rSw0yVb/vlWAYkK/YBwk=\"/>\r\n");
         Write(rel / "Digest.xml", testing::SignManifestText(t, testing::DemoPrivateKeyPem()));
       }, "refused: Digest.xml: the downloader refuses it: entry"},
  };
  for (const Case& c : cases) {
    fs::remove_all(rel);
    SignedRelease();
    c.damage();
    r = Exec("check " + pub + "--bank 867 " + Q(rel));
    EXPECT_EQ(r.rc, 1) << c.what << "\n" << r.out;
    EXPECT_NE(r.out.find(c.line), std::string::npos)
        << c.what << ":\n" << r.out;
    r = Exec("check --json " + pub + "--bank 867 " + Q(rel));
    EXPECT_EQ(r.rc, 1) << c.what;
    const std::string kind = c.line.substr(0, c.line.find(':'));
    EXPECT_NE(r.out.find("\"ok\":false"), std::string::npos) << c.what << r.out;
    EXPECT_NE(r.out.find("{\"kind\":\"" + kind + "\""), std::string::npos) << c.what << r.out;
  }
}

}  // namespace
}  // namespace corlinq
