// Arbitrary bytes as a manifest file, and the same bytes signed with the demo key: the signature
// check, the reader and the entry rules must neither crash nor read out of bounds, and a run's
// manifest step holds the rule "verified => loads, or the run fails":
// - a manifest the step accepts verified, loaded, passed every entry rule, and lists exactly
//   the File elements the document holds (none left out, so never "empty" by accident);
// - a manifest the step refuses is not left where a later step or run would read it, and the
//   failure is on the dialog ("下载失败").
// The first input byte chooses: even, the rest is the file as it is; odd, the rest is signed
// first, and its last byte, when there is one, replaces a byte of the 9 free bytes before the
// closing tag (which the signature leaves unchecked, as it must).
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include <unistd.h>

#include "engine/engine_fakes.h"
#include "manifest/manifest_entries.h"
#include "manifest/manifest_load.h"
#include "manifest/manifest_verify.h"

namespace {

using namespace corlinq;

EVP_PKEY* DemoSigningKey() {
  static EVP_PKEY* key = [] {
    std::ifstream in(std::string(CORLINQ_TEST_KEYS_DIR) + "/manifest-signing.pem", std::ios::binary);
    const std::string pem((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    BIO* bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
    EVP_PKEY* k = bio != nullptr ? PEM_read_bio_PrivateKey(bio, nullptr, nullptr, nullptr) : nullptr;
    BIO_free(bio);
    if (k == nullptr) std::abort();
    return k;
  }();
  return key;
}

// The signing tool's layout: "\r\n<Sign>" + 256 hex digits + "</Sign>\r\n" before the last "<",
// over the SHA-1 of the text without that block. Empty when there is no "<".
std::string Sign(const std::string& text) {
  const size_t last = text.rfind('<');
  if (last == std::string::npos || text.find('\0') != std::string::npos) return {};
  unsigned char digest[20];
  unsigned int len = 0;
  if (EVP_Digest(text.data(), text.size(), digest, &len, EVP_sha1(), nullptr) != 1) std::abort();
  std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> ctx(
      EVP_PKEY_CTX_new_from_pkey(nullptr, DemoSigningKey(), nullptr), EVP_PKEY_CTX_free);
  unsigned char sig[128];
  size_t sigLen = sizeof sig;
  if (!ctx || EVP_PKEY_sign_init(ctx.get()) != 1 ||
      EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1 ||
      EVP_PKEY_sign(ctx.get(), sig, &sigLen, digest, sizeof digest) != 1) {
    std::abort();
  }
  std::string hex;
  for (size_t i = 0; i < sigLen; ++i) {
    hex += "0123456789ABCDEF"[sig[i] >> 4];
    hex += "0123456789ABCDEF"[sig[i] & 15];
  }
  return text.substr(0, last) + "\r\n<Sign>" + hex + "</Sign>\r\n" + text.substr(last);
}

// The real signature check and reader over the files of the in-memory file system.
class RealManifests : public ManifestSource {
 public:
  explicit RealManifests(testing::FakeFileSystem& fs) : fs_(fs) {}
  bool VerifySignature(const std::string& file) override {
    const auto found = fs_.files.find(file);
    return found != fs_.files.end() && VerifyManifestBytes(found->second.content, ManifestPublicKey());
  }
  ManifestLoad Load(const std::string& file) override {
    const auto found = fs_.files.find(file);
    return found == fs_.files.end() ? ManifestLoad{} : LoadManifestText(found->second.content);
  }

 private:
  testing::FakeFileSystem& fs_;
};

void Check(bool condition) {
  if (!condition) std::abort();
}

// The reader on its own: a loaded manifest passes the rules and agrees with the lookups.
void CheckReader(const std::string& bytes) {
  const ManifestLoad load = LoadManifestText(bytes);
  ManifestXml doc;
  const bool parsed = doc.Parse(bytes);
  Check(parsed || load.status == ManifestLoad::Status::kUnloadable);
  if (load.status != ManifestLoad::Status::kLoaded) {
    Check(load.entries.empty());
    return;
  }
  std::string error;
  Check(CheckManifestEntries(load.entries, error));
  Check(load.entries.size() == static_cast<size_t>(ManifestEntryCount(doc)));
  Check(load.entries.size() == doc.Elements("File").size());
  if (!load.entries.empty()) {
    ManifestEntry last;
    Check(ReadManifestEntry(doc, static_cast<int>(load.entries.size()), last) == EntryResult::kOk);
    Check(last.fileName == load.entries.back().fileName && last.digest == load.entries.back().digest);
  }
}

// The run's manifest step with this file served as the common manifest.
void CheckManifestStep(const std::string& bytes) {
  testing::World w;
  w.fs.AddFolderPath("C:\\A");
  RealManifests manifests(w.fs);
  const EnginePorts ports{w.fetcher, manifests, w.fs, w.registry, w.processes,
                          w.shell,   w.os,      w.host, w.notifier};
  w.fetcher.served[std::string(testing::World::kBase) + "/Digest.xml"] = testing::FakeFile{bytes, "", "", true, false};
  w.fetcher.served[std::string(testing::World::kBase) + "/Digest_867.xml"] =
      testing::FakeFile{Sign("<Digest>\r\n<FileInfo>\r\n</FileInfo>\r\n</Digest>\r\n"), "", "", true, false};
  w.dialog.journal = nullptr;
  w.fs.journal = nullptr;
  InstallEngine engine(w.dialog, w.config, ports, ProgressMode::Install, w.runtimes);
  const bool accepted = engine.FetchManifests();
  const bool verified = VerifyManifestBytes(bytes, ManifestPublicKey());
  const ManifestLoad load = LoadManifestText(bytes);
  ManifestXml doc;
  if (accepted) {
    Check(verified);
    Check(load.status == ManifestLoad::Status::kLoaded);
    Check(doc.Parse(bytes) && doc.Elements("File").size() == load.entries.size());
    Check(engine.CountManifestEntries(ManifestKind::kCommon) == static_cast<int>(load.entries.size()));
  } else {
    Check(!verified || load.status != ManifestLoad::Status::kLoaded);
    Check(w.fs.files.count("C:\\A\\Digest.xml") == 0);
    Check(w.dialog.GetText(kIdCancelButton) == "下载失败");
    Check(engine.CountManifestEntries(ManifestKind::kCommon) == 0);
  }
  engine.Dispose();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  std::string bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
  if ((data[0] & 1) != 0) {
    const char freeByte = bytes.empty() ? '\0' : bytes.back();
    if (!bytes.empty()) bytes.pop_back();
    bytes = Sign(bytes);
    const size_t last = bytes.rfind('<');
    if (!bytes.empty() && freeByte != '\0' && freeByte != '<' && last != std::string::npos) {
      bytes[last - 1 - static_cast<unsigned char>(data[0] >> 1) % kSignFreeBytes] = freeByte;
    }
  }
  // The file path reader, once per input.
  static const std::string path = "/tmp/corlinq_manifest_fuzz_" + std::to_string(getpid()) + ".xml";
  if (FILE* f = std::fopen(path.c_str(), "wb")) {
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
  }
  const bool fileVerified = VerifyManifestFile(path, ManifestPublicKey());
  Check(fileVerified == VerifyManifestBytes(bytes, ManifestPublicKey()));
  const ManifestLoad fromFile = LoadManifestFile(path);
  Check(fromFile.status == LoadManifestText(bytes).status);

  CheckReader(bytes);
  CheckManifestStep(bytes);
  (void)HexDecodeLenient(bytes.substr(0, 300));
  return 0;
}
