#include "tools/release-check/release_check.h"

#include "manifest/manifest_load.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/bio.h>
#include <openssl/decoder.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <tinyxml2.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iterator>
#include <set>

#include "base/bank_id.h"
#include "base/strings.h"

namespace corlinq::release_check {
namespace {

namespace fs = std::filesystem;

std::string Errno(int error) { return std::strerror(error); }

struct Free {
  void operator()(BIO* p) const { BIO_free(p); }
  void operator()(EVP_PKEY_CTX* p) const { EVP_PKEY_CTX_free(p); }
  void operator()(OSSL_DECODER_CTX* p) const { OSSL_DECODER_CTX_free(p); }
};
template <typename T>
using Owned = std::unique_ptr<T, Free>;

}  // namespace

Fd::~Fd() {
  if (fd_ >= 0) ::close(fd_);
}

void KeyFree::operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }

// The reason OpenSSL gave for the last failure, and a clean error queue.
std::string OpenSslReason() {
  const unsigned long code = ERR_peek_last_error();
  std::string reason;
  if (code != 0) {
    const char* text = ERR_reason_error_string(code);
    if (text != nullptr) {
      reason = text;
    } else {
      char buffer[256];
      ERR_error_string_n(code, buffer, sizeof buffer);
      reason = buffer;
    }
  }
  ERR_clear_error();
  return reason.empty() ? "no reason given" : reason;
}

bool ReadFile(const std::string& path, std::string& out, std::string& error) {
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) {
    error = "cannot read " + path + ": " + Errno(errno);
    return false;
  }
  struct stat st {};
  if (::fstat(fd.get(), &st) == 0 && S_ISDIR(st.st_mode)) {
    error = "cannot read " + path + ": " + Errno(EISDIR);
    return false;
  }
  out.clear();
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      error = "cannot read " + path + ": " + Errno(errno);
      return false;
    }
    out.append(buffer, static_cast<size_t>(n));
  }
  return true;
}

bool Sha1(std::string_view data, unsigned char out[20]) {
  unsigned int len = 0;
  return EVP_Digest(data.data(), data.size(), out, &len, EVP_sha1(), nullptr) == 1 && len == 20;
}

std::string Base64(const unsigned char* data, size_t size) {
  std::string out(4 * ((size + 2) / 3) + 1, '\0');
  const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), data,
                                static_cast<int>(size));
  out.resize(n > 0 ? static_cast<size_t>(n) : 0);
  return out;
}

// The downloader's own entry rules (manifest/manifest_entries.h).
bool IsPortableName(std::string_view name) { return IsSafeFileName(name); }

bool IsManifestName(std::string_view name) {
  const std::string lower = ToLowerAscii(name);
  return lower == "digest.xml" ||
         (lower.rfind("digest_", 0) == 0 && lower.size() > 11 &&
          lower.compare(lower.size() - 4, 4, ".xml") == 0);
}

// Every regular file under a release folder, as paths relative to it (manifests at the top left
// out), or an error naming the folder.
bool ReleaseFiles(const fs::path& release, std::vector<fs::path>& out,
                                std::string& error) {
  std::error_code ec;
  if (!fs::is_directory(release, ec)) {
    error = release.string() + " is not a folder" + (ec ? ": " + ec.message() : "");
    return false;
  }
  for (auto it = fs::recursive_directory_iterator(release, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    if (!it->is_regular_file(ec)) continue;
    const fs::path rel = it->path().lexically_relative(release);
    if (std::distance(rel.begin(), rel.end()) == 1 && IsManifestName(rel.string())) continue;
    out.push_back(rel);
  }
  if (ec) {
    error = "cannot walk " + release.string() + ": " + ec.message();
    return false;
  }
  return true;
}

// Splits a manifest into the signed content and, when present, the signature's hex digits.
// Returns false when the text has no closing tag to sign before.
bool SplitSignature(const std::string& text, std::string& content, std::string* hexDigits) {
  if (text.find('\0') != std::string::npos) return false;
  const size_t last = text.rfind('<');
  if (last == std::string::npos) return false;
  if (last >= kBlock && text.compare(last - kBlock, kSignOpen.size(), kSignOpen) == 0) {
    if (hexDigits) *hexDigits = text.substr(last - kBlock + kSignOpen.size(), kHexDigits);
    content = text.substr(0, last - kBlock) + text.substr(last);
  } else {
    if (hexDigits) hexDigits->clear();
    content = text;
  }
  return true;
}

Key ReadPublicKey(const std::string& path, std::string& error) {
  std::string pem;
  if (!ReadFile(path, pem, error)) return nullptr;
  Owned<BIO> bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  if (!bio) {
    error = "out of memory reading " + path;
    return nullptr;
  }
  ERR_clear_error();
  EVP_PKEY* raw = nullptr;
  // Either "RSA PUBLIC KEY" (PKCS #1) or "PUBLIC KEY" (SubjectPublicKeyInfo).
  Owned<OSSL_DECODER_CTX> dctx(OSSL_DECODER_CTX_new_for_pkey(&raw, "PEM", nullptr, "RSA",
                                                             EVP_PKEY_PUBLIC_KEY, nullptr,
                                                             nullptr));
  if (!dctx || OSSL_DECODER_from_bio(dctx.get(), bio.get()) != 1) {
    EVP_PKEY_free(raw);
    error = path + " holds no RSA public key in PEM (" + OpenSslReason() + ")";
    return nullptr;
  }
  return Key(raw);
}

// Checks the signature of a manifest text; the reason when it does not hold.
bool CheckSignature(EVP_PKEY* key, const std::string& text, std::string& reason) {
  std::string content, hex;
  if (!SplitSignature(text, content, &hex) || hex.empty()) {
    reason = "no signature block";
    return false;
  }
  unsigned char sig[128];
  for (size_t i = 0; i < 128; ++i) {
    unsigned v = 0;
    for (int k = 0; k < 2; ++k) {
      const char c = hex[2 * i + static_cast<size_t>(k)];
      const char* p = std::strchr("0123456789abcdef", c >= 'A' && c <= 'F' ? c - 'A' + 'a' : c);
      if (c == '\0' || p == nullptr) {
        reason = "the signature is not hexadecimal";
        return false;
      }
      v = v * 16 + static_cast<unsigned>(p - "0123456789abcdef");
    }
    sig[i] = static_cast<unsigned char>(v);
  }
  unsigned char digest[20];
  if (!Sha1(content, digest)) {
    reason = "SHA-1 failed (" + OpenSslReason() + ")";
    return false;
  }
  Owned<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr));
  unsigned char rec[512];
  size_t recLen = sizeof rec;
  if (!ctx || EVP_PKEY_verify_recover_init(ctx.get()) != 1 ||
      EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1 ||
      EVP_PKEY_verify_recover(ctx.get(), rec, &recLen, sig, sizeof sig) != 1) {
    reason = "the signature does not open under this public key: signed with another key, or "
             "the signature was changed (" + OpenSslReason() + ")";
    return false;
  }
  if (recLen != 20 || std::memcmp(rec, digest, 20) != 0) {
    reason = "the content does not match the signature: the file was changed after signing";
    return false;
  }
  return true;
}

bool CheckRelease(const fs::path& release, EVP_PKEY* key, std::optional<int> bankId,
                  Report& out, std::string& error) {
  std::vector<Problem>& problems = out.problems;
  std::vector<ManifestReport>& reports = out.manifests;
  problems.clear();
  reports.clear();
  std::vector<fs::path> files;
  if (!ReleaseFiles(release, files, error)) return false;

  // The manifests: Digest.xml and the bank's, or every bank manifest at the top.
  std::vector<std::string> manifests = {"Digest.xml"};
  if (bankId) {
    manifests.push_back("Digest_" + BankIdHex3(*bankId) + ".xml");
  } else {
    std::vector<std::string> found;
    std::error_code ec;
    for (const auto& item : fs::directory_iterator(release, ec)) {
      const std::string name = item.path().filename().string();
      if (IsManifestName(name) && ToLowerAscii(name) != "digest.xml") found.push_back(name);
    }
    std::sort(found.begin(), found.end());
    if (found.empty()) {
      problems.push_back({"missing", "Digest_<bank>.xml",
                          "no bank manifest Digest_<bank>.xml at the top of the release"});
    }
    manifests.insert(manifests.end(), found.begin(), found.end());
  }

  std::set<std::string> listed;  // "/" separated, as on disk
  for (const std::string& manifest : manifests) {
    ManifestReport report;
    report.name = manifest;
    std::string text;
    const std::string path = (release / manifest).string();
    if (!ReadFile(path, text, error)) {
      problems.push_back({"missing", manifest, error});
      reports.push_back(report);
      continue;
    }
    std::string reason;
    report.signatureValid = CheckSignature(key, text, reason);
    if (!report.signatureValid) problems.push_back({"bad-signature", manifest, reason});

    tinyxml2::XMLDocument doc;
    if (doc.Parse(text.data(), text.size()) != tinyxml2::XML_SUCCESS) {
      problems.push_back({"malformed", manifest,
                          std::string("not well-formed XML: ") + doc.ErrorStr()});
      reports.push_back(report);
      continue;
    }
    const tinyxml2::XMLElement* info =
        doc.RootElement() ? doc.RootElement()->FirstChildElement("FileInfo") : nullptr;
    if (info == nullptr) {
      problems.push_back({"malformed", manifest, "no <FileInfo> under the root element"});
      reports.push_back(report);
      continue;
    }
    // The downloader's reader and entry rules: what they refuse fails every run of the release.
    const ManifestLoad load = LoadManifestText(text);
    if (load.status != ManifestLoad::Status::kLoaded) {
      problems.push_back({"refused", manifest, "the downloader refuses it: " + load.error});
    }
    for (const tinyxml2::XMLElement* f = info->FirstChildElement("File"); f != nullptr;
         f = f->NextSiblingElement("File")) {
      const char* p = f->Attribute("Path");
      const char* n = f->Attribute("FileName");
      const char* d = f->Attribute("Digest");
      ++report.files;
      if (p == nullptr || n == nullptr || d == nullptr) {
        problems.push_back({"malformed", manifest,
                            "a <File> entry without Path, FileName or Digest (line " +
                                std::to_string(f->GetLineNum()) + ")"});
        continue;
      }
      // Every part of the path must be a plain name: no "..", no drive, no root.
      std::string rel;
      bool safe = IsPortableName(n);
      std::string_view rest = p;
      while (safe && !rest.empty()) {
        const size_t cut = rest.find('\\');
        const std::string_view part = rest.substr(0, cut);
        safe = IsPortableName(part);
        rel += std::string(part) + "/";
        rest = cut == std::string_view::npos ? std::string_view() : rest.substr(cut + 1);
        if (cut != std::string_view::npos && rest.empty()) safe = false;  // trailing "\"
      }
      rel += n;
      if (!safe) {
        problems.push_back({"unsafe-path", rel,
                            "listed in " + manifest + " with a path outside the release or a "
                            "name Windows cannot hold"});
        continue;
      }
      listed.insert(rel);
      std::string content;
      struct stat st {};
      const std::string onDisk = (release / rel).string();
      if (::stat(onDisk.c_str(), &st) != 0 && errno == ENOENT) {
        problems.push_back({"missing", rel, "listed in " + manifest + ", not in the release"});
        continue;
      }
      if (!ReadFile(onDisk, content, error)) {
        problems.push_back({"missing", rel, "listed in " + manifest + ", " + error});
        continue;
      }
      unsigned char digest[20];
      if (!Sha1(content, digest)) {
        error = "SHA-1 failed (" + OpenSslReason() + ")";
        return false;
      }
      const std::string got = Base64(digest, sizeof digest);
      if (got != d) {
        problems.push_back({"tampered", rel, "the content does not match " + manifest +
                                                 " (listed digest " + d + ", file " + got + ")"});
      }
    }
    reports.push_back(report);
  }
  for (const fs::path& rel : files) {
    if (listed.count(rel.generic_string()) == 0) {
      problems.push_back({"unlisted", rel.generic_string(), "in the release but in no manifest"});
    }
  }

  return true;
}

}  // namespace corlinq::release_check
