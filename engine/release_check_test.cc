// The release check: the pure verdicts, and the manifest step that refuses a release before
// anything of it is installed.
#include "engine/release_check.h"

#include <gtest/gtest.h>

#include "engine/engine_fakes.h"

namespace corlinq::testing {
namespace {

const std::vector<ManifestEntry> kCommon = {{"", "WebUI_867.exe", Sha("W2")}, {"Data", "skin.dat", Sha("S2")}};
const std::vector<ManifestEntry> kBank = {{"Plugins", "bank.dll", Sha("B2")}};
const std::vector<ManifestEntry> kOldCommon = {{"", "WebUI_867.exe", Sha("W1")}, {"Data", "skin.dat", Sha("S1")}};
const std::vector<ManifestEntry> kOldBank = {{"Plugins", "bank.dll", Sha("B1")}};
constexpr int64_t kNow = 1796083200;  // 2026-12-01T00:00:00Z

ReleaseStatement Stated(const std::string& version, const std::string& self, const std::string& companion,
                        const std::vector<ManifestEntry>& companionEntries,
                        std::optional<int64_t> expires = std::nullopt) {
  return ReleaseStatement{version, expires, self, companion, EntryListDigest(companionEntries)};
}

// The two manifests of one release as the bank's tool states them.
struct Pair {
  ReleaseManifest common, bank;
};
Pair Release(const std::string& version, std::optional<int64_t> expires = std::nullopt) {
  return {{"Digest.xml", StatementRead::kValid, Stated(version, "Digest.xml", "Digest_867.xml", kBank, expires),
           EntryListDigest(kCommon)},
          {"Digest_867.xml", StatementRead::kValid, Stated(version, "Digest_867.xml", "Digest.xml", kCommon, expires),
           EntryListDigest(kBank)}};
}

TEST(JudgeRelease, Verdicts) {
  const ReleaseManifest unstatedCommon{"Digest.xml", StatementRead::kAbsent, {}, EntryListDigest(kCommon)};
  const ReleaseManifest unstatedBank{"Digest_867.xml", StatementRead::kAbsent, {}, EntryListDigest(kBank)};
  Pair swapped = Release("2.0.0.1");
  std::swap(swapped.common.statement, swapped.bank.statement);
  Pair otherList = Release("2.0.0.1");
  otherList.bank.listDigest = EntryListDigest(kOldBank);  // the bank manifest of another build
  Pair malformed = Release("2.0.0.1");
  malformed.bank.read = StatementRead::kMalformed;
  Pair versionsDiffer = Release("2.0.0.1");
  versionsDiffer.bank.statement.version = "1.0.0.1";

  const struct {
    const char* name;
    ReleaseManifest common, bank;
    ReleasePolicy policy;
    std::string reply, installed;
    ReleaseVerdict expected;
  } cases[] = {
      {"stated release as announced", Release("2.0.0.1").common, Release("2.0.0.1").bank,
       ReleasePolicy::kStrict, "2.0.0.1", "1.0.0.1", ReleaseVerdict::kAccepted},
      {"reinstall of the installed version", Release("2.0.0.1").common, Release("2.0.0.1").bank,
       ReleasePolicy::kStrict, "2.0.0.1", "2.0.0.1", ReleaseVerdict::kAccepted},
      {"first install", Release("2.0.0.1").common, Release("2.0.0.1").bank, ReleasePolicy::kStrict, "2.0.0.1", "",
       ReleaseVerdict::kAccepted},
      {"unstated, compatible", unstatedCommon, unstatedBank, ReleasePolicy::kCompatible, "2.0.0.1", "1.0.0.1",
       ReleaseVerdict::kAcceptedUnstated},
      {"unstated, strict", unstatedCommon, unstatedBank, ReleasePolicy::kStrict, "2.0.0.1", "1.0.0.1",
       ReleaseVerdict::kNoStatement},
      {"stated beside unstated", Release("2.0.0.1").common, unstatedBank, ReleasePolicy::kCompatible, "2.0.0.1", "",
       ReleaseVerdict::kNotCompanions},
      {"unstated beside stated", unstatedCommon, Release("2.0.0.1").bank, ReleasePolicy::kCompatible, "2.0.0.1", "",
       ReleaseVerdict::kNotCompanions},
      {"malformed", malformed.common, malformed.bank, ReleasePolicy::kCompatible, "2.0.0.1", "",
       ReleaseVerdict::kMalformed},
      {"served under each other's name", swapped.common, swapped.bank, ReleasePolicy::kStrict, "2.0.0.1", "",
       ReleaseVerdict::kNotCompanions},
      {"companion of another build", otherList.common, otherList.bank, ReleasePolicy::kStrict, "2.0.0.1", "",
       ReleaseVerdict::kNotCompanions},
      {"older release announced as newer", Release("1.0.0.1").common, Release("1.0.0.1").bank,
       ReleasePolicy::kStrict, "3.0.0.0", "2.0.0.1", ReleaseVerdict::kVersionMismatch},
      {"newer announcement than the manifests", Release("2.0.0.1").common, Release("2.0.0.1").bank,
       ReleasePolicy::kStrict, "99.0.0.0", "", ReleaseVerdict::kVersionMismatch},
      {"statements of two versions", versionsDiffer.common, versionsDiffer.bank, ReleasePolicy::kStrict, "2.0.0.1",
       "", ReleaseVerdict::kVersionMismatch},
      {"reply version not a version", Release("0").common, Release("0").bank, ReleasePolicy::kStrict, "abc", "",
       ReleaseVerdict::kVersionMismatch},
      {"older release announced as itself", Release("1.0.0.1").common, Release("1.0.0.1").bank,
       ReleasePolicy::kStrict, "1.0.0.1", "2.0.0.1", ReleaseVerdict::kOlderThanInstalled},
      {"expired a second ago", Release("2.0.0.1", kNow - 1).common, Release("2.0.0.1", kNow - 1).bank,
       ReleasePolicy::kStrict, "2.0.0.1", "", ReleaseVerdict::kExpired},
      {"expires this very second", Release("2.0.0.1", kNow).common, Release("2.0.0.1", kNow).bank,
       ReleasePolicy::kStrict, "2.0.0.1", "", ReleaseVerdict::kExpired},
      {"expires in a second", Release("2.0.0.1", kNow + 1).common, Release("2.0.0.1", kNow + 1).bank,
       ReleasePolicy::kStrict, "2.0.0.1", "", ReleaseVerdict::kAccepted},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ReleaseContext context{c.policy, c.reply, c.installed, kNow};
    EXPECT_EQ(JudgeRelease(c.common, c.bank, context), c.expected);
  }
}

ManifestLoad Loaded(const std::vector<ManifestEntry>& entries, StatementRead read = StatementRead::kAbsent,
                    ReleaseStatement statement = {}) {
  return ManifestLoad{ManifestLoad::Status::kLoaded, entries, read, std::move(statement)};
}

// An earlier installation of 2.0.0.1 (record, manifests, files) and a server that offers a
// release of the given version under a reply of another.
struct Offered {
  World w;
  const std::string recordKey = "Software\\\\Tollwyn\\WebUI\\" + w.config.familyWord + "\\867";

  explicit Offered(ReleasePolicy policy) : policy_(policy) {
    for (const char* sub : {"", "\\Data", "\\Plugins", "\\Script", "\\Tools"}) {
      w.fs.AddFolderPath(std::string("C:\\A\\DownLoad") + sub);
    }
    w.Install(ManifestKind::kCommon, "installed-common", kCommon);
    w.Install(ManifestKind::kBank, "installed-bank", kBank);
    FakeRegistry::Values& record = w.registry.keys[{RegistryView::k32, recordKey}];
    record["Version"] = "2.0.0.1";
    record["Path"] = "C:\\A";
    w.host.now = kNow;
  }
  void Serve(const std::string& tag, const ManifestLoad& common, const ManifestLoad& bank,
             const std::vector<ManifestEntry>& files) {
    w.Publish(ManifestKind::kCommon, tag + "-common", common.entries);
    w.Publish(ManifestKind::kBank, tag + "-bank", bank.entries);
    w.manifests.documents[tag + "-common"] = common;
    w.manifests.documents[tag + "-bank"] = bank;
    w.ServeFiles(files);
  }
  void ServeStated(const std::string& version, const std::vector<ManifestEntry>& common,
                   const std::vector<ManifestEntry>& bank, std::optional<int64_t> expires = std::nullopt) {
    std::vector<ManifestEntry> all = common;
    all.insert(all.end(), bank.begin(), bank.end());
    Serve(version,
          Loaded(common, StatementRead::kValid, Stated(version, "Digest.xml", "Digest_867.xml", bank, expires)),
          Loaded(bank, StatementRead::kValid, Stated(version, "Digest_867.xml", "Digest.xml", common, expires)), all);
  }
  std::string Version() { return w.registry.keys[{RegistryView::k32, recordKey}]["Version"]; }
  // A whole update run under a reply announcing replyVersion.
  void Run(const std::string& replyVersion) {
    w.config.serverVersion = replyVersion;
    InstallRun run;
    StartInstallRun(run, w.dialog, w.config, w.ports, ProgressMode::Update, w.runtimes,
                    [this](InstallEngine& e) { e.releasePolicy = policy_; });
  }
  // Nothing of the offered release was fetched beyond its manifests, and the installation is as
  // it was.
  void ExpectUnchanged(const std::string& status) {
    for (const auto& call : w.fetcher.calls) {
      EXPECT_TRUE(call.url == "https://127.0.0.1/867/Digest.xml" || call.url == "https://127.0.0.1/867/Digest_867.xml")
          << call.url;
    }
    EXPECT_EQ(w.fs.files["C:\\A\\Digest.xml"].content, "installed-common");
    EXPECT_EQ(w.fs.files["C:\\A\\Digest_867.xml"].content, "installed-bank");
    EXPECT_EQ(w.fs.files["C:\\A\\WebUI_867.exe"].sha1, Sha("W2"));
    EXPECT_EQ(w.fs.files["C:\\A\\Plugins\\bank.dll"].sha1, Sha("B2"));
    EXPECT_FALSE(w.fs.Exists("C:\\A\\DownLoad\\Digest.xml"));
    EXPECT_FALSE(w.fs.Exists("C:\\A\\DownLoad\\Digest_867.xml"));
    EXPECT_EQ(Version(), "2.0.0.1");
    EXPECT_TRUE(w.host.exits.empty());
    EXPECT_EQ(w.dialog.texts[kIdStatusLine], status);
    EXPECT_EQ(w.dialog.texts[kIdCancelButton], "下载失败");
  }

 private:
  ReleasePolicy policy_;
};

// A validly signed older release offered as newer, under either policy once it states its
// version; and the other refusals of the manifest step, each in the dialog's words.
TEST(AcceptRelease, RefusedReleasesInstallNothing) {
  const struct {
    const char* name;
    ReleasePolicy policy;
    std::string offered, reply;
    std::optional<int64_t> expires;
    const char* status;
    const char* trace;
  } cases[] = {
      {"older release as newer, strict", ReleasePolicy::kStrict, "1.0.0.1", "3.0.0.0", std::nullopt, "配置文件版本不符",
       "release version differs from the reply"},
      {"older release as newer, compatible", ReleasePolicy::kCompatible, "1.0.0.1", "3.0.0.0", std::nullopt,
       "配置文件版本不符", "release version differs from the reply"},
      {"older release as itself", ReleasePolicy::kStrict, "1.0.0.1", "1.0.0.1", std::nullopt, "配置文件版本不符",
       "release older than the installed version"},
      {"expired release", ReleasePolicy::kStrict, "3.0.0.0", "3.0.0.0", kNow - 60, "配置文件已过期",
       "release expired"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Offered o(c.policy);
    o.ServeStated(c.offered, kOldCommon, kOldBank, c.expires);
    o.Run(c.reply);
    o.ExpectUnchanged(c.status);
    EXPECT_TRUE(o.w.host.Traced(c.trace));
  }
}

TEST(AcceptRelease, StrictRefusesUnstatedManifestsCompatibleTracesThem) {
  {
    Offered o(ReleasePolicy::kStrict);
    o.Serve("old", Loaded(kOldCommon), Loaded(kOldBank), kOldCommon);
    o.Run("3.0.0.0");
    o.ExpectUnchanged("配置文件校验失败");
    EXPECT_TRUE(o.w.host.Traced("release without statement refused"));
  }
  {
    Offered o(ReleasePolicy::kCompatible);
    const std::vector<ManifestEntry> newCommon = {{"", "WebUI_867.exe", Sha("W3")}, {"Data", "skin.dat", Sha("S2")}};
    o.Serve("new", Loaded(newCommon), Loaded(kBank), newCommon);
    o.Run("3.0.0.0");
    EXPECT_TRUE(o.w.host.Traced("release without statement accepted"));
    EXPECT_EQ(o.Version(), "3.0.0.0");
    EXPECT_EQ(o.w.host.exits, std::vector<int>{0});
  }
}

// Digest.xml of one release beside Digest_867.xml of another, both validly signed.
TEST(AcceptRelease, MixedManifestsAreRefused) {
  Offered o(ReleasePolicy::kStrict);
  const std::vector<ManifestEntry> newCommon = {{"", "WebUI_867.exe", Sha("W3")}, {"Data", "skin.dat", Sha("S2")}};
  o.Serve("mix",
          Loaded(newCommon, StatementRead::kValid, Stated("3.0.0.0", "Digest.xml", "Digest_867.xml", kBank)),
          Loaded(kOldBank, StatementRead::kValid, Stated("3.0.0.0", "Digest_867.xml", "Digest.xml", newCommon)),
          newCommon);
  o.Run("3.0.0.0");
  o.ExpectUnchanged("配置文件校验失败");
}

TEST(AcceptRelease, StatedNewReleaseIsInstalledUnderStrict) {
  Offered o(ReleasePolicy::kStrict);
  const std::vector<ManifestEntry> newCommon = {{"", "WebUI_867.exe", Sha("W3")}, {"Data", "skin.dat", Sha("S2")}};
  o.ServeStated("3.0.0.0", newCommon, kBank, kNow + 86400);
  o.Run("3.0.0.0");
  EXPECT_TRUE(o.w.host.Traced("release accepted"));
  EXPECT_EQ(o.Version(), "3.0.0.0");
  EXPECT_EQ(o.w.fs.files["C:\\A\\WebUI_867.exe"].sha1, Sha("W3"));
  EXPECT_EQ(o.w.host.exits, std::vector<int>{0});
}

}  // namespace
}  // namespace corlinq::testing
