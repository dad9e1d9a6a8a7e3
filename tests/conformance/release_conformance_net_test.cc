// The release conformance table. One row per attack on a release, after the attack list of the
// TUF conformance suite: each row runs the engine's whole update run (native, over libcurl and real
// HTTPS on loopback) against the reference update server or the fault peer, with releases made and
// signed by the bank's own tools (scripts/make-release.sh, digest-tool), and asserts that nothing
// outside the signed release is installed and that the install record is as before.
//
// The machine starts with release 2.0.0.1 installed. The engine's own file system, registry and
// processes are the in-memory fakes; what crosses the network and what is verified is real.
//
// Key compromise. The manifest key is built into the downloader; there is no key list to revoke
// from. A bank whose signing key leaks makes a new key pair (digest-tool keygen), builds a new
// downloader with it (-DMANIFEST_PUBLIC_KEY=the new public key), hands that exe out directly (a
// self-update signed with the leaked key would prove nothing), signs every release from then on
// with the new key and destroys the old private key (OPERATING.md, "Rotating the manifest signing
// key"). The new build accepts nothing the leaked key signs. Customers still on the old build stay
// exposed to the leaked key until they take the new exe; a release statement with an expiry
// limits how long an old signed release can be replayed at them, and its version keeps the
// attacker from rolling them back or forward under the old key only if the attacker cannot sign
// new statements, which with a leaked key he can. The row "key compromise" shows the new build
// refusing what the leaked key signs, and the second table the new build taking the re-signed
// release.
//
// Rows the release statement answers (each installed the offered files, or recorded the announced
// version, before it): fast-forward, indefinite freeze, both mix-and-match rows, the three rollback
// rows, stale manifest, wrong software. Rows the signature and the per-file digests already
// answered, kept so they stay answered: arbitrary installation, endless data, malicious mirror, key
// compromise, extraneous files. The slow retrieval rows are answered by the download's time
// bounds (no gap between body bytes longer than the receive time-out, a minimum rate over every
// window, and a bounded number of timed-out tries): they run with the engine's download through
// the real transport, with only the gap and the window shortened from 15 s and 30 s so the rows
// do not wait out the defaults, and every update run here is bounded as a whole so none can hang.
//
// The stale row is answered before the release statement is read: an update clears the staging
// folder and every manifest's earlier copy goes before its download, so a 404 fails the manifest
// download itself.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "engine/engine_fakes.h"
#include "manifest/manifest_verify.h"
#include "manifest/manifest_xml.h"
#include "manifest/release_statement.h"
#include "protocol/download.h"
#include "protocol/file_digest.h"
#include "protocol/platform_transport.h"
#include "tools/update-server/server_process.h"

namespace corlinq::testing {
namespace {

namespace fs = std::filesystem;
using std::chrono::seconds;

std::string ReadAll(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}
void WriteAll(const fs::path& p, const std::string& bytes) {
  fs::create_directories(p.parent_path());
  std::ofstream(p, std::ios::binary | std::ios::trunc) << bytes;
}
bool Run(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()) == 0; }
std::string Q(const fs::path& p) { return "'" + p.string() + "'"; }

// Downloads over the platform's HTTP stack into a real file, then hands the bytes to the fake file
// system: the transport's rules (tries, lengths, digests, an earlier file at the destination) are
// the real ones. Only loopback URLs are fetched.
class HttpFetcher : public FileFetcher {
 public:
  HttpFetcher(FakeFileSystem& files, fs::path scratch) : files_(files), scratch_(std::move(scratch)) {}
  std::vector<std::string> urls;
  // The time bounds of every try (zero timeouts: the HTTP stack's defaults).
  HttpTimeouts timeouts{};
  HttpLowSpeed lowSpeed = kDownloadLowSpeed;

  bool Download(const std::string& url, const std::string& path, const std::string& expectedDigest,
                ProgressView*) override {
    urls.push_back(url);
    if (url.rfind("https://127.0.0.1:", 0) != 0) return false;
    const fs::path local = scratch_ / ("download-" + std::to_string(urls.size()));
    fs::remove(local);
    const auto existing = files_.files.find(FakeFileSystem::Normal(path));
    if (existing != files_.files.end()) WriteAll(local, existing->second.content);
    const DownloadOptions options{expectedDigest, 1 << 20, timeouts, lowSpeed};
    if (!DownloadFile(PlatformHttpPort(), url, local.string(), nullptr, options)) {
      return false;
    }
    const std::string bytes = ReadAll(local);
    files_.AddFile(path, FakeFile{bytes, DigestBase64(bytes), "", true, false});
    return true;
  }

 private:
  FakeFileSystem& files_;
  fs::path scratch_;
};

// The manifests as the program reads them: signature under a build's key, entries, statement.
class BytesManifests : public ManifestSource {
 public:
  BytesManifests(FakeFileSystem& files, std::string keyPem) : files_(files), keyPem_(std::move(keyPem)) {}
  bool VerifySignature(const std::string& file) override {
    const auto found = files_.files.find(FakeFileSystem::Normal(file));
    return found != files_.files.end() && VerifyManifestBytes(found->second.content, keyPem_);
  }
  ManifestLoad Load(const std::string& file) override {
    ManifestLoad load;
    const auto found = files_.files.find(FakeFileSystem::Normal(file));
    ManifestXml doc;
    if (found == files_.files.end() || !doc.Parse(found->second.content)) return load;
    std::string error;
    if (!ReadManifestEntries(doc, load.entries, error)) {
      load.status = ManifestLoad::Status::kInvalidEntry;
      return load;
    }
    load.status = ManifestLoad::Status::kLoaded;
    load.release = ReadReleaseStatement(doc, load.statement);
    return load;
  }

 private:
  FakeFileSystem& files_;
  std::string keyPem_;
};

// 2026-12-01T00:00:00Z: the clock of every row but the freeze.
constexpr int64_t kNow = 1796083200;
constexpr const char kExpiry[] = "2027-01-01T00:00:00Z";

// The releases a bank has signed over time, and what attackers make of them.
class Releases {
 public:
  fs::path dir;
  std::string newKeyPublicPem;
  int serverPort = 0, faultPort = 0, tricklePort = 0, stallPort = 0;

  bool Make(std::string& error) {
    char tmpl[] = "/tmp/corlinq_conformance.XXXXXX";
    if (mkdtemp(tmpl) == nullptr) return Fail(error, "mkdtemp");
    dir = tmpl;
    const std::string tool = CORLINQ_DIGEST_TOOL_EXE;
    const std::string script = std::string(CORLINQ_SOURCE_DIR) + "/scripts/make-release.sh";
    const auto make = [&](const std::string& name, const std::string& tag, const std::string& version,
                          const std::string& expires, const std::string& bank = "867",
                          const std::string& key = "") {
      const fs::path src = dir / ("src-" + name);
      const std::string b = bank;
      WriteAll(src / ("WebUI_" + b + ".exe"), "assistant " + tag);
      WriteAll(src / "Data" / "skin.dat", "skin " + tag);
      WriteAll(src / "Plugins" / ("bank_" + b + ".dll"), "bank " + tag);
      std::string env = "DIGEST_TOOL=" + Q(tool);
      if (!version.empty()) env += " RELEASE_VERSION=" + version;
      if (!expires.empty()) env += " RELEASE_EXPIRES=" + expires;
      const fs::path signing = key.empty() ? fs::path(CORLINQ_SOURCE_DIR) / "keys" / "manifest-signing.pem" : fs::path(key);
      fs::path pub = fs::path(CORLINQ_SOURCE_DIR) / "keys" / "manifest-public.pem";
      if (!key.empty()) pub = fs::path(key).replace_filename(fs::path(key).stem().string() + "-public.pem");
      env += " MANIFEST_SIGNING_KEY=" + Q(signing) + " MANIFEST_PUBLIC_KEY=" + Q(pub);
      return Run(env + " " + Q(script) + " " + Q(src) + " " + Q(dir / name) + " " + b);
    };
    const fs::path newKey = dir / "new-signing.pem";
    const fs::path otherKey = dir / "other-signing.pem";
    if (!Run(Q(tool) + " keygen " + Q(newKey) + " " + Q(dir / "new-signing-public.pem")) ||
        !Run(Q(tool) + " keygen " + Q(otherKey) + " " + Q(dir / "other-signing-public.pem"))) {
      return Fail(error, "keygen");
    }
    newKeyPublicPem = ReadAll(dir / "new-signing-public.pem");
    if (!make("v1", "1", "1.0.0.1", "") || !make("v2", "2", "2.0.0.1", kExpiry) ||
        !make("v3", "3", "3.0.0.1", kExpiry) || !make("v3b", "3b", "3.0.0.1", kExpiry) ||
        !make("v1-unstated", "1", "", "") || !make("v3-foreign", "3", "3.0.0.1", kExpiry, "867", otherKey.string()) ||
        !make("v3-newkey", "3", "3.0.0.1", kExpiry, "867", newKey.string()) ||
        !make("bank868", "868", "3.0.0.1", kExpiry, "868")) {
      return Fail(error, "make-release");
    }
    std::error_code ec;
    // Extraneous files: one file the release does not list, dropped in after signing.
    fs::copy(dir / "v3", dir / "v3-extra", fs::copy_options::recursive, ec);
    WriteAll(dir / "v3-extra" / "Tools" / "extra.exe", "not in the release");
    // Malicious mirror: a listed file with other content.
    fs::copy(dir / "v3", dir / "v3-mirror", fs::copy_options::recursive, ec);
    WriteAll(dir / "v3-mirror" / "WebUI_867.exe", "assistant from a mirror");
    // Mix-and-match: the common manifest of one build of 3.0.0.1 beside the bank manifest of
    // another, both validly signed, each with its own files.
    fs::copy(dir / "v3", dir / "v3-mix", fs::copy_options::recursive, ec);
    fs::copy_file(dir / "v3b" / "Digest_867.xml", dir / "v3-mix" / "Digest_867.xml", fs::copy_options::overwrite_existing, ec);
    for (const char* file : {"Plugins/bank_867.dll", "WebUI_867.exe"}) {
      fs::copy_file(dir / "v3b" / file, dir / "v3-mix" / file, fs::copy_options::overwrite_existing, ec);
    }
    // Mix of versions: 3.0.0.1's common manifest beside 2.0.0.1's bank manifest.
    fs::copy(dir / "v3", dir / "v3-mix-old", fs::copy_options::recursive, ec);
    fs::copy_file(dir / "v2" / "Digest_867.xml", dir / "v3-mix-old" / "Digest_867.xml", fs::copy_options::overwrite_existing, ec);
    for (const char* file : {"Plugins/bank_867.dll", "WebUI_867.exe"}) {
      fs::copy_file(dir / "v2" / file, dir / "v3-mix-old" / file, fs::copy_options::overwrite_existing, ec);
    }
    // Wrong software: bank 868's release with its bank manifest under bank 867's name.
    fs::rename(dir / "bank868" / "Digest_868.xml", dir / "bank868" / "Digest_867.xml", ec);
    // Stale manifest: a folder without manifests (404) that still holds 1.0.0.1's files.
    fs::copy(dir / "v1", dir / "v1-nomanifest", fs::copy_options::recursive, ec);
    fs::remove(dir / "v1-nomanifest" / "Digest.xml", ec);
    fs::remove(dir / "v1-nomanifest" / "Digest_867.xml", ec);
    if (ec) return Fail(error, "copying releases: " + ec.message());

    if (!Run(std::string(CORLINQ_SOURCE_DIR) + "/scripts/gen-test-cert.sh " + Q(dir / "certs"))) {
      return Fail(error, "certificate");
    }
    std::string banks;
    int id = 0xa01;
    for (const char* name : {"v1", "v2", "v3", "v3b", "v1-unstated", "v3-foreign", "v3-newkey", "bank868",
                             "v3-extra", "v3-mirror", "v3-mix", "v3-mix-old", "v1-nomanifest"}) {
      char key[8];
      std::snprintf(key, sizeof key, "%x", id++);
      banks += std::string(banks.empty() ? "" : ",") + "\"" + key + "\": {\"version\": \"1\", \"release\": \"" +
               (dir / name).string() + "\", \"prefix\": \"/r/" + name + "\"}";
    }
    WriteAll(dir / "server.json", R"({"listeners": [{"address": "127.0.0.1", "port": 0, "tls": true}],
      "certificate": ")" + (dir / "certs" / "server.crt").string() + R"(",
      "privateKey": ")" + (dir / "certs" / "server.key").string() + R"(",
      "envelopeKey": ")" + std::string(CORLINQ_SOURCE_DIR) + R"(/keys/envelope.pem",
      "banks": {)" + banks + "}}");
    if (!server.Start({CORLINQ_UPDATE_SERVER_EXE, "--config", (dir / "server.json").string()}, error)) return false;
    if (!server.WaitForLine("ready", seconds(20))) return Fail(error, "update-server not ready");
    serverPort = server.ListeningPort("https", "127.0.0.1");
    // Endless data: a peer that sends more than it announces, whatever is asked.
    if (!fault.Start({CORLINQ_FAULT_PEER_EXE, "--listen", "127.0.0.1:0", "--tls", (dir / "certs" / "server.crt").string(),
                      (dir / "certs" / "server.key").string(), "--mode", "overlong", "--body-file",
                      (dir / "v3" / "Digest.xml").string()},
                     error)) {
      return false;
    }
    if (!fault.WaitForLine("ready", seconds(20))) return Fail(error, "fault-peer not ready");
    faultPort = fault.ListeningPort("https", "127.0.0.1");
    // Slow retrieval: a peer that sends the body at 100 bytes a second, and one that sends half of
    // it and then nothing more, whatever is asked. The body is 3.0.0.1's signed common manifest
    // padded to 64 KiB, so that at that rate it would take over ten minutes.
    WriteAll(dir / "slow-body.xml", ReadAll(dir / "v3" / "Digest.xml") + "<!--" + std::string(64 * 1024, ' ') + "-->");
    const auto slowPeer = [&](ServerProcess& peer, std::vector<std::string> mode, int& port) {
      std::vector<std::string> args = {CORLINQ_FAULT_PEER_EXE, "--listen", "127.0.0.1:0", "--tls",
                                       (dir / "certs" / "server.crt").string(), (dir / "certs" / "server.key").string(),
                                       "--body-file", (dir / "slow-body.xml").string(), "--mode"};
      args.insert(args.end(), mode.begin(), mode.end());
      if (!peer.Start(args, error)) return false;
      if (!peer.WaitForLine("ready", seconds(20))) return Fail(error, "fault-peer " + mode[0] + " not ready");
      port = peer.ListeningPort("https", "127.0.0.1");
      return port > 0;
    };
    if (!slowPeer(trickle, {"trickle", "--rate", "100"}, tricklePort) || !slowPeer(stall, {"stall-body"}, stallPort)) {
      return false;
    }
    return serverPort > 0 && faultPort > 0;
  }

  void Stop() {
    (void)server.Terminate(seconds(15));
    (void)fault.Terminate(seconds(15));
    (void)trickle.Terminate(seconds(15));
    (void)stall.Terminate(seconds(15));
    std::error_code ec;
    fs::remove_all(dir, ec);
  }

  std::string Url(const std::string& release) const {
    return "https://127.0.0.1:" + std::to_string(serverPort) + "/r/" + release;
  }
  std::string FaultUrl(int port) const { return "https://127.0.0.1:" + std::to_string(port) + "/r/v3"; }

 private:
  static bool Fail(std::string& error, const std::string& what) {
    error = what + " failed";
    return false;
  }
  ServerProcess server, fault, trickle, stall;
};

Releases* g_releases = nullptr;

class ReleaseConformance : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    signal(SIGPIPE, SIG_IGN);
    g_releases = new Releases();
    std::string error;
    ASSERT_TRUE(g_releases->Make(error)) << error;
  }
  static void TearDownTestSuite() {
    g_releases->Stop();
    delete g_releases;
    g_releases = nullptr;
  }
};

// The machine after installing release 2.0.0.1: its files and manifests, exactly as signed, and the
// install record.
struct Machine {
  World w;
  std::string recordKey;
  std::map<std::string, std::string> before;  // install folder: path -> content

  Machine() {
    recordKey = "Software\\\\Tollwyn\\WebUI\\" + w.config.familyWord + "\\867";
    for (const char* sub : {"", "\\Data", "\\Plugins", "\\Script", "\\Tools"}) {
      w.fs.AddFolderPath(std::string("C:\\A\\DownLoad") + sub);
    }
    const fs::path v2 = g_releases->dir / "v2";
    for (const auto& item : fs::recursive_directory_iterator(v2)) {
      if (!item.is_regular_file()) continue;
      std::string rel = item.path().lexically_relative(v2).string();
      for (char& c : rel) c = c == '/' ? '\\' : c;
      const std::string bytes = ReadAll(item.path());
      w.fs.AddFile("C:\\A\\" + rel, FakeFile{bytes, DigestBase64(bytes), "", true, false});
    }
    FakeRegistry::Values& record = w.registry.keys[{RegistryView::k32, recordKey}];
    record["Version"] = "2.0.0.1";
    record["Path"] = "C:\\A";
    w.host.now = kNow;
    before = InstallFolder();
  }

  std::map<std::string, std::string> InstallFolder() const {
    std::map<std::string, std::string> out;
    for (const auto& [path, file] : w.fs.files) {
      if (path.rfind("C:\\A\\", 0) == 0 && path.rfind("C:\\A\\DownLoad\\", 0) != 0) out[path] = file.content;
    }
    return out;
  }
  std::string Version() { return w.registry.keys[{RegistryView::k32, recordKey}]["Version"]; }

  // An update run under a reply announcing `reply` with the download base `base`; with shortBounds
  // every download try gives up after 2 s without a byte or 2 s below 1 KiB/s. A run still going
  // after kRunLimit has its downloads abandoned (every later download in this process then fails
  // too, so the suite ends instead of hanging) and fails the row.
  static constexpr seconds kRunLimit{120};
  void Update(const std::string& base, const std::string& reply, ReleasePolicy policy, const std::string& keyPem,
              bool shortBounds = false) {
    w.config.downloadBaseUrl = base;
    w.config.serverVersion = reply;
    HttpFetcher fetcher(w.fs, g_releases->dir);
    if (shortBounds) {
      fetcher.timeouts = {5000, 5000, 2000};
      fetcher.lowSpeed = {1024, 2000};
    }
    BytesManifests manifests(w.fs, keyPem);
    EnginePorts ports{fetcher, manifests, w.fs, w.registry, w.processes, w.shell, w.os, w.host, w.notifier};
    std::mutex mutex;
    std::condition_variable ended;
    bool done = false;
    std::thread watchdog([&] {
      std::unique_lock<std::mutex> lock(mutex);
      if (!ended.wait_for(lock, kRunLimit, [&] { return done; })) AbandonDownloads(seconds(10));
    });
    const auto start = std::chrono::steady_clock::now();
    InstallRun run;
    StartInstallRun(run, w.dialog, w.config, ports, ProgressMode::Update, w.runtimes,
                    [policy](InstallEngine& e) { e.releasePolicy = policy; });
    const auto took = std::chrono::steady_clock::now() - start;
    {
      const std::lock_guard<std::mutex> lock(mutex);
      done = true;
    }
    ended.notify_one();
    watchdog.join();
    EXPECT_LT(std::chrono::duration_cast<seconds>(took).count(), kRunLimit.count())
        << "the update run did not end in time";
  }
};

// Every attack row: the run is refused and the machine is as it was.
TEST_F(ReleaseConformance, AttacksInstallNothing) {
  const std::string demoKey = ManifestPublicKey();
  const struct {
    const char* attack;
    std::string base;
    std::string reply;
    ReleasePolicy policy;
    int64_t now;
    std::string key;
    bool staleCopy;      // an older signed manifest pair already waits in the staging folder
    const char* status;  // what the customer reads; null: a failed download of the manifest
    bool shortBounds = false;  // downloads give up after 2 s without a byte or below 1 KiB/s
  } rows[] = {
      {"arbitrary installation: manifests signed by another key", g_releases->Url("v3-foreign"), "3.0.0.1",
       ReleasePolicy::kStrict, kNow, demoKey, false, nullptr},
      {"endless data: a peer sends past its length", g_releases->FaultUrl(g_releases->faultPort), "3.0.0.1", ReleasePolicy::kStrict, kNow,
       demoKey, false, nullptr},
      {"fast-forward: 3.0.0.1 announced as 9.0.0.0", g_releases->Url("v3"), "9.0.0.0", ReleasePolicy::kStrict, kNow,
       demoKey, false, "配置文件版本不符"},
      {"indefinite freeze: an expired release replayed", g_releases->Url("v3"), "3.0.0.1", ReleasePolicy::kStrict,
       *ParseUtcTime(kExpiry) + 1, demoKey, false, "配置文件已过期"},
      {"malicious mirror: a listed file with other content", g_releases->Url("v3-mirror"), "3.0.0.1",
       ReleasePolicy::kStrict, kNow, demoKey, false, nullptr},
      {"mix-and-match: two builds of 3.0.0.1", g_releases->Url("v3-mix"), "3.0.0.1", ReleasePolicy::kStrict, kNow,
       demoKey, false, "配置文件校验失败"},
      {"mix-and-match: 3.0.0.1 beside 2.0.0.1", g_releases->Url("v3-mix-old"), "3.0.0.1",
       ReleasePolicy::kCompatible, kNow, demoKey, false, "配置文件校验失败"},
      {"rollback: 1.0.0.1 announced as newer", g_releases->Url("v1"), "3.0.0.1", ReleasePolicy::kCompatible, kNow,
       demoKey, false, "配置文件版本不符"},
      {"rollback: 1.0.0.1 announced as itself", g_releases->Url("v1"), "1.0.0.1", ReleasePolicy::kStrict, kNow,
       demoKey, false, "配置文件版本不符"},
      {"rollback: an unstated old release under strict", g_releases->Url("v1-unstated"), "3.0.0.1",
       ReleasePolicy::kStrict, kNow, demoKey, false, "配置文件校验失败"},
      {"slow retrieval: a peer sends the body at 100 bytes a second", g_releases->FaultUrl(g_releases->tricklePort),
       "3.0.0.1", ReleasePolicy::kStrict, kNow, demoKey, false, "下载配置文件 失败", true},
      {"slow retrieval: a peer stops halfway through the body", g_releases->FaultUrl(g_releases->stallPort), "3.0.0.1",
       ReleasePolicy::kStrict, kNow, demoKey, false, "下载配置文件 失败", true},
      {"stale manifest: 404 over an older staged pair", g_releases->Url("v1-nomanifest"), "3.0.0.1",
       ReleasePolicy::kCompatible, kNow, demoKey, true, "下载配置文件 失败"},
      {"wrong software: bank 868's release for bank 867", g_releases->Url("bank868"), "3.0.0.1",
       ReleasePolicy::kStrict, kNow, demoKey, false, "配置文件校验失败"},
      {"key compromise: the leaked key after rotation", g_releases->Url("v3"), "3.0.0.1", ReleasePolicy::kStrict,
       kNow, g_releases->newKeyPublicPem, false, nullptr},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.attack);
    Machine m;
    m.w.host.now = row.now;
    if (row.staleCopy) {
      for (const char* name : {"Digest.xml", "Digest_867.xml"}) {
        const std::string bytes = ReadAll(g_releases->dir / "v1" / name);
        m.w.fs.AddFile(std::string("C:\\A\\DownLoad\\") + name, FakeFile{bytes, DigestBase64(bytes), "", true, false});
      }
    }
    m.Update(row.base, row.reply, row.policy, row.key, row.shortBounds);
    EXPECT_EQ(m.InstallFolder(), m.before);
    EXPECT_EQ(m.Version(), "2.0.0.1");
    EXPECT_TRUE(m.w.host.exits.empty());
    if (row.status != nullptr) {
      EXPECT_EQ(m.w.dialog.texts[kIdStatusLine], row.status);
    }
  }
}

// The releases a customer must get: a new release with a file the release does not list beside it
// (extraneous files: only the listed ones arrive), the same release re-signed with the rotated key
// on the new build, and a reinstall of the installed version.
TEST_F(ReleaseConformance, SignedReleasesInstallExactlyTheirFiles) {
  const struct {
    const char* name;
    std::string release, reply;
    std::string key;
    const char* expectVersion;
  } rows[] = {
      {"extraneous files", "v3-extra", "3.0.0.1", ManifestPublicKey(), "3.0.0.1"},
      {"key rotation: the re-signed release on the new build", "v3-newkey", "3.0.0.1", g_releases->newKeyPublicPem,
       "3.0.0.1"},
      {"reinstall of the installed version", "v2", "2.0.0.1", ManifestPublicKey(), "2.0.0.1"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    Machine m;
    m.Update(g_releases->Url(row.release), row.reply, ReleasePolicy::kStrict, row.key);
    EXPECT_EQ(m.w.host.exits, std::vector<int>{0});
    EXPECT_EQ(m.Version(), row.expectVersion);
    // Exactly the signed release: every listed file with its signed content, the two manifests,
    // and nothing else.
    std::map<std::string, std::string> expected;
    const fs::path rel = g_releases->dir / row.release;
    for (const char* name : {"Digest.xml", "Digest_867.xml"}) {
      expected[std::string("C:\\A\\") + name] = ReadAll(rel / name);
      ManifestXml doc;
      ASSERT_TRUE(doc.Parse(ReadAll(rel / name)));
      std::vector<ManifestEntry> entries;
      std::string error;
      ASSERT_TRUE(ReadManifestEntries(doc, entries, error)) << error;
      for (const ManifestEntry& e : entries) {
        const std::string slashed = e.path.empty() ? e.fileName : e.path + "/" + e.fileName;
        std::string back = slashed;
        for (char& c : back) c = c == '/' ? '\\' : c;
        std::string path = "C:\\A\\" + back;
        for (size_t at = 0; (at = path.find('/', at)) != std::string::npos;) path[at] = '\\';
        expected[path] = ReadAll(rel / fs::path(slashed));
      }
    }
    EXPECT_EQ(m.InstallFolder(), expected);
  }
}

}  // namespace
}  // namespace corlinq::testing
