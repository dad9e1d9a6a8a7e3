// manifest-bench: the cost of a large manifest in an update run, through the real parts.
//
//   manifest-bench [N]      (default 100000)
//
// Makes an N-entry common manifest twice (the installed release and a new one in which every
// tenth file changed), signs both with a throwaway key, writes them to a temporary folder, and
// then times what an update run does with them: the manifest step (the signature check and the
// reader with its entry rules) and the planning of the common manifest against the installed
// one. The installed files themselves live in the engine's in-memory file system, so the figure
// is the manifests' cost, not the disk's. Prints
//   manifest read+verify+plan N entries: S s
// Not a test: scripts/bench.sh runs it.
#include <openssl/bn.h>
#include <openssl/encoder.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include <chrono>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>

#include <unistd.h>

#include "engine/engine_fakes.h"
#include "manifest/manifest_entries.h"
#include "manifest/manifest_verify.h"

namespace {

using namespace corlinq;
namespace fs = std::filesystem;

struct KeyPair {
  std::string publicPem;
  EVP_PKEY* key = nullptr;
};

// A fresh 1024-bit RSA key with exponent 3, the manifests' key type.
bool MakeKey(KeyPair& pair) {
  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr);
  BIGNUM* e = BN_new();
  bool ok = ctx != nullptr && e != nullptr && BN_set_word(e, 3) == 1 && EVP_PKEY_keygen_init(ctx) == 1 &&
            EVP_PKEY_CTX_set_rsa_keygen_bits(ctx, 1024) == 1 && EVP_PKEY_CTX_set1_rsa_keygen_pubexp(ctx, e) == 1 &&
            EVP_PKEY_generate(ctx, &pair.key) == 1;
  BN_free(e);
  EVP_PKEY_CTX_free(ctx);
  if (!ok) return false;
  BIO* bio = BIO_new(BIO_s_mem());
  OSSL_ENCODER_CTX* ectx =
      OSSL_ENCODER_CTX_new_for_pkey(pair.key, EVP_PKEY_PUBLIC_KEY, "PEM", "type-specific", nullptr);
  ok = bio != nullptr && ectx != nullptr && OSSL_ENCODER_to_bio(ectx, bio) == 1;
  OSSL_ENCODER_CTX_free(ectx);
  if (ok) {
    char* data = nullptr;
    const long n = BIO_get_mem_data(bio, &data);
    pair.publicPem.assign(data, static_cast<size_t>(n));
  }
  BIO_free(bio);
  return ok;
}

// The signing tool's layout before the last "<".
bool Sign(EVP_PKEY* key, const std::string& text, std::string& out) {
  unsigned char digest[20];
  unsigned int len = 0;
  if (EVP_Digest(text.data(), text.size(), digest, &len, EVP_sha1(), nullptr) != 1) return false;
  std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr),
                                                                  EVP_PKEY_CTX_free);
  unsigned char sig[128];
  size_t sigLen = sizeof sig;
  if (!ctx || EVP_PKEY_sign_init(ctx.get()) != 1 || EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1 ||
      EVP_PKEY_sign(ctx.get(), sig, &sigLen, digest, sizeof digest) != 1) {
    return false;
  }
  std::string hex;
  for (size_t i = 0; i < sigLen; ++i) {
    hex += "0123456789ABCDEF"[sig[i] >> 4];
    hex += "0123456789ABCDEF"[sig[i] & 15];
  }
  const size_t last = text.rfind('<');
  out = text.substr(0, last) + "\r\n<Sign>" + hex + "</Sign>\r\n" + text.substr(last);
  return true;
}

std::string Folder(int i) {
  static const char* const kFolders[] = {"", "Data", "Plugins", "Script\\lua"};
  return kFolders[i % 4];
}
std::string Name(int i) { return "file" + std::to_string(i) + ".bin"; }
std::string Digest(int i, bool changed) { return testing::Sha((changed ? "new" : "old") + std::to_string(i)); }

std::string ManifestText(int n, bool newer) {
  std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<Digest>\r\n<FileInfo>\r\n";
  for (int i = 0; i < n; ++i) {
    xml += "<File Path=\"" + Folder(i) + "\" FileName=\"" + Name(i) + "\" Digest=\"" +
           Digest(i, newer && i % 10 == 0) + "\"/>\r\n";
  }
  return xml + "</FileInfo>\r\n</Digest>\r\n";
}

// The manifests as files on disk, by the engine's path for them.
class DiskManifests : public ManifestSource {
 public:
  DiskManifests(std::map<std::string, std::string>& onDisk, const std::string& keyPem)
      : onDisk_(onDisk), keyPem_(keyPem) {}
  bool VerifySignature(const std::string& file) override {
    const auto found = onDisk_.find(file);
    return found != onDisk_.end() && VerifyManifestFile(found->second, keyPem_);
  }
  ManifestLoad Load(const std::string& file) override {
    const auto found = onDisk_.find(file);
    return found == onDisk_.end() ? ManifestLoad{} : LoadManifestFile(found->second);
  }

 private:
  std::map<std::string, std::string>& onDisk_;
  const std::string& keyPem_;
};

// "Downloads" a manifest by pointing the engine's path at the file prepared on disk.
class DiskFetcher : public FileFetcher {
 public:
  DiskFetcher(std::map<std::string, std::string>& onDisk, testing::FakeFileSystem& fs,
              std::map<std::string, std::string> byUrl)
      : onDisk_(onDisk), fs_(fs), byUrl_(std::move(byUrl)) {}
  bool Download(const std::string& url, const std::string& path, const std::string&, ProgressView*) override {
    const auto found = byUrl_.find(url);
    if (found == byUrl_.end()) return false;
    onDisk_[path] = found->second;
    fs_.AddFile(path, testing::FakeFile{});
    return true;
  }

 private:
  std::map<std::string, std::string>& onDisk_;
  testing::FakeFileSystem& fs_;
  std::map<std::string, std::string> byUrl_;
};

bool WriteFile(const fs::path& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  return static_cast<bool>(out);
}

}  // namespace

int main(int argc, char** argv) {
  const int n = argc > 1 ? std::atoi(argv[1]) : 100'000;
  if (n < 0 || n > 10'000'000) {
    std::fprintf(stderr, "usage: manifest-bench [N]\n");
    return 2;
  }
  KeyPair key;
  if (!MakeKey(key)) {
    std::fprintf(stderr, "manifest-bench: cannot make a key\n");
    return 1;
  }
  std::error_code ec;
  const fs::path dir = fs::temp_directory_path() / ("corlinq_manifest_bench_" + std::to_string(::getpid()));
  fs::create_directories(dir, ec);
  std::string oldCommon, newCommon, bank;
  if (!Sign(key.key, ManifestText(n, false), oldCommon) || !Sign(key.key, ManifestText(n, true), newCommon) ||
      !Sign(key.key, ManifestText(0, false), bank) || !WriteFile(dir / "installed-Digest.xml", oldCommon) ||
      !WriteFile(dir / "new-Digest.xml", newCommon) || !WriteFile(dir / "new-Digest_867.xml", bank)) {
    std::fprintf(stderr, "manifest-bench: cannot make the manifests in %s\n", dir.string().c_str());
    return 1;
  }
  EVP_PKEY_free(key.key);

  // The installed release: its manifest on disk, its files in memory.
  testing::World w;
  w.dialog.journal = nullptr;
  w.fs.journal = nullptr;
  w.host.journal = nullptr;
  w.processes.journal = nullptr;
  std::map<std::string, std::string> onDisk = {{"C:\\A\\Digest.xml", (dir / "installed-Digest.xml").string()}};
  w.fs.AddFile("C:\\A\\Digest.xml", testing::FakeFile{});
  for (const char* sub : {"\\DownLoad\\Data", "\\DownLoad\\Plugins", "\\DownLoad\\Script\\lua"}) {
    w.fs.AddFolderPath(std::string("C:\\A") + sub);
  }
  for (int i = 0; i < n; ++i) {
    const std::string folder = Folder(i);
    w.fs.files[std::string("C:\\A\\") + (folder.empty() ? "" : folder + "\\") + Name(i)] =
        testing::FakeFile{"", Digest(i, false), "", true, false};
  }
  DiskManifests manifests(onDisk, key.publicPem);
  DiskFetcher fetcher(onDisk, w.fs,
                      {{std::string(testing::World::kBase) + "/Digest.xml", (dir / "new-Digest.xml").string()},
                       {std::string(testing::World::kBase) + "/Digest_867.xml", (dir / "new-Digest_867.xml").string()}});
  const EnginePorts ports{fetcher, manifests, w.fs, w.registry, w.processes, w.shell, w.os, w.host, w.notifier};
  InstallEngine engine(w.dialog, w.config, ports, ProgressMode::Update, w.runtimes);

  const auto start = std::chrono::steady_clock::now();
  const std::clock_t cpuStart = std::clock();
  bool ok = engine.FetchManifests();
  engine.totalSteps = engine.CountManifestEntries(ManifestKind::kBank) + engine.CountManifestEntries(ManifestKind::kCommon);
  ok = ok && engine.SyncManifestFiles(ManifestKind::kCommon);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const double cpu = static_cast<double>(std::clock() - cpuStart) / CLOCKS_PER_SEC;
  engine.Dispose();
  fs::remove_all(dir, ec);

  const size_t planned = engine.updateList.size();
  if (!ok || planned != static_cast<size_t>((n + 9) / 10)) {
    std::fprintf(stderr, "manifest-bench: the run did not plan as expected (%s, %zu files)\n", ok ? "ok" : "failed",
                 planned);
    return 1;
  }
  std::printf("manifest read+verify+plan %d entries: %.3f s\n", n, seconds);
  // On a busy machine the wall time includes waiting for a processor.
  std::printf("  (processor time %.3f s)\n", cpu);
  return 0;
}
