// digest-tool: makes, signs and checks the "Digest" manifests of a release.
//
//   digest-tool keygen [--force] [PASSPHRASE] OUT_PRIVATE_PEM OUT_PUBLIC_PEM
//   digest-tool make --bank HEX [--out DIR] [--release-version V [--expires T]] RELEASE_DIR
//   digest-tool sign --key PRIVATE_PEM [PASSPHRASE] FILE...
//   digest-tool verify --pubkey PUBLIC_PEM FILE...
//   digest-tool check --pubkey PUBLIC_PEM [--bank HEX] [--json] RELEASE_DIR
//   PASSPHRASE: --passphrase-file FILE | --passphrase-env NAME
//
// Signature block (written right before the root's closing tag, the file's last "<"):
//   "\r\n<Sign>" + 256 upper-case hex digits + "</Sign>\r\n"
// The signature is RSA with PKCS #1 v1.5 type 1 padding over the bare SHA-1 (20 bytes, no
// DigestInfo) of the file without that block.
//
// Exit codes: 0 done, 1 failed (the message names the file and the reason), 2 usage error.
#include <fcntl.h>
#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/decoder.h>
#include <openssl/encoder.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <tinyxml2.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "base/bank_id.h"
#include "base/strings.h"
#include "manifest/manifest_load.h"
#include "tools/release-check/release_check.h"

#ifndef CORLINQ_TOOLS_VERSION
#define CORLINQ_TOOLS_VERSION "dev"
#endif

namespace fs = std::filesystem;
using corlinq::ToLowerAscii;
using namespace corlinq::release_check;  // NOLINT: the check and its helpers are this tool's

namespace {

constexpr int kFailed = 1;
constexpr int kUsage = 2;

const char kHelp[] =
    "digest-tool: makes, signs and checks the Digest manifests of a release\n"
    "\n"
    "  digest-tool keygen [--force] [PASSPHRASE] OUT_PRIVATE_PEM OUT_PUBLIC_PEM\n"
    "      New 1024-bit RSA key pair with exponent 3: the private key as PKCS #8 PEM (mode\n"
    "      0600, encrypted with AES-256 when a passphrase is given), the public key as PKCS #1\n"
    "      PEM (\"RSA PUBLIC KEY\"), the form the downloader builds in. An existing file is\n"
    "      kept unless --force is given.\n"
    "\n"
    "  digest-tool make --bank HEX [--out DIR] [--release-version V\n"
    "                   [--expires YYYY-MM-DDThh:mm:ssZ]] RELEASE_DIR\n"
    "      Walks RELEASE_DIR and writes the common manifest \"Digest.xml\" and the bank manifest\n"
    "      \"Digest_%03x.xml\" (for --bank 867: Digest_867.xml) into DIR (default RELEASE_DIR),\n"
    "      unsigned. Each file becomes <File Path=\"a\\b\" FileName=\"x.dll\" Digest=\"...\"/>\n"
    "      with Path relative to RELEASE_DIR (\"\\\" separators, empty at the top) and Digest the\n"
    "      Base64 SHA-1 of the content. Files are taken in byte order of their paths.\n"
    "      Which manifest a file goes into:\n"
    "        - the bank manifest when its name contains \"_<hex>\" (\"_867\": WebUI_867.exe) or\n"
    "          one of its folders is named <hex> (\"867\\skin.png\"), letter case ignored,\n"
    "          with <hex> the bank id as %03x;\n"
    "        - the common manifest otherwise;\n"
    "        - never: files named Digest.xml or Digest_*.xml at the top of RELEASE_DIR.\n"
    "      Names Windows cannot hold (<>:\"/\\|?* or control characters, trailing dot or space)\n"
    "      and names that are not UTF-8 are refused.\n"
    "      --release-version V (one to four dotted decimal parts) adds the release statement\n"
    "      to both manifests, before the signature: <Release Version=\"V\" [Expires=\"T\"]\n"
    "      Manifest=\"this file\" Companion=\"the other file\" CompanionList=\"...\"/> with\n"
    "      CompanionList the Base64 SHA-256 of the other manifest's entries, each as\n"
    "      Path LF FileName LF Digest LF. The downloader refuses a release whose version is not\n"
    "      the one its server announced, is older than the installed one, or has expired.\n"
    "\n"
    "  digest-tool sign --key PRIVATE_PEM [PASSPHRASE] FILE...\n"
    "      Signs each FILE in place: \"\\r\\n<Sign>\" + 256 upper-case hex digits +\n"
    "      \"</Sign>\\r\\n\" before the root's closing tag. A file already signed is signed afresh.\n"
    "\n"
    "  digest-tool verify --pubkey PUBLIC_PEM FILE...\n"
    "      Exit code 0 when every FILE carries a valid signature under the key, 1 otherwise.\n"
    "\n"
    "  digest-tool check --pubkey PUBLIC_PEM [--bank HEX] [--json] RELEASE_DIR\n"
    "      Checks a release before it is published: the signatures of Digest.xml and the bank\n"
    "      manifest (Digest_%03x.xml of --bank, else every Digest_*.xml at the top), and every\n"
    "      listed file against its digest. Each problem is reported on its own line (missing,\n"
    "      tampered, bad-signature, unsafe-path, unlisted, malformed); --json prints one JSON\n"
    "      object instead. Exit code 0 when there is none, 1 otherwise.\n"
    "\n"
    "  PASSPHRASE of an encrypted private key: --passphrase-file FILE (its first line) or\n"
    "  --passphrase-env NAME (the environment variable NAME). Without either, an encrypted key\n"
    "  is asked for at the terminal, and refused when there is none.\n"
    "\n"
    "  Bank ids are hexadecimal, with or without 0x, in any letter case (5a5, 0x5a5, 0X5A5).\n"
    "  Options may come before or after the operands, as --opt VALUE or --opt=VALUE.\n"
    "  digest-tool --help | --version\n";

// ---- errors ----
std::string Errno(int error) { return std::strerror(error); }

int Fail(const std::string& message) {
  std::fprintf(stderr, "digest-tool: %s\n", message.c_str());
  return kFailed;
}

int UsageError(const std::string& message) {
  std::fprintf(stderr, "digest-tool: %s (see digest-tool --help)\n", message.c_str());
  return kUsage;
}

// ---- files ----
// Writes beside the file and renames it into place, so a reader sees the old or the new text.
[[nodiscard]] bool WriteFile(const std::string& path, std::string_view data, mode_t mode,
                             std::string& error) {
  const std::string tmp = path + ".tmp" + std::to_string(::getpid());
  Fd fd(::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode));
  if (fd.get() < 0) {
    error = "cannot write " + tmp + ": " + Errno(errno);
    return false;
  }
  if (::fchmod(fd.get(), mode) != 0) {
    error = "cannot set the mode of " + tmp + ": " + Errno(errno);
    ::unlink(tmp.c_str());
    return false;
  }
  size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = ::write(fd.get(), data.data() + done, data.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      error = "cannot write " + tmp + ": " + Errno(errno);
      ::unlink(tmp.c_str());
      return false;
    }
    done += static_cast<size_t>(n);
  }
  if (::fsync(fd.get()) != 0 || ::close(fd.release()) != 0) {
    error = "cannot write " + tmp + ": " + Errno(errno);
    ::unlink(tmp.c_str());
    return false;
  }
  if (::rename(tmp.c_str(), path.c_str()) != 0) {
    error = "cannot write " + path + ": " + Errno(errno);
    ::unlink(tmp.c_str());
    return false;
  }
  return true;
}

// ---- OpenSSL owners ----
struct Free {
  void operator()(BIO* p) const { BIO_free(p); }
  void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
  void operator()(EVP_PKEY_CTX* p) const { EVP_PKEY_CTX_free(p); }
  void operator()(BIGNUM* p) const { BN_free(p); }
  void operator()(OSSL_ENCODER_CTX* p) const { OSSL_ENCODER_CTX_free(p); }
  void operator()(OSSL_DECODER_CTX* p) const { OSSL_DECODER_CTX_free(p); }
};
template <typename T>
using Owned = std::unique_ptr<T, Free>;

// ---- passphrases ----
struct Passphrase {
  std::optional<std::string> text;  // given on the command line's terms
  bool asked = false;               // the key wanted one
};

// From --passphrase-file (first line, without its line end) or --passphrase-env.
[[nodiscard]] bool LoadPassphrase(const std::string& file, const std::string& env,
                                  Passphrase& out, std::string& error) {
  if (!file.empty() && !env.empty()) {
    error = "give the passphrase with --passphrase-file or --passphrase-env, not both";
    return false;
  }
  if (!file.empty()) {
    std::string text;
    if (!ReadFile(file, text, error)) return false;
    text = text.substr(0, text.find('\n'));
    if (!text.empty() && text.back() == '\r') text.pop_back();
    if (text.empty()) {
      error = "the passphrase file " + file + " is empty";
      return false;
    }
    out.text = text;
  } else if (!env.empty()) {
    const char* value = std::getenv(env.c_str());
    if (value == nullptr || *value == '\0') {
      error = "the environment variable " + env + " holds no passphrase";
      return false;
    }
    out.text = value;
  }
  return true;
}

int PassphraseCallback(char* buffer, int size, int rwflag, void* user) {
  auto* pass = static_cast<Passphrase*>(user);
  pass->asked = true;
  if (!pass->text) {
    // No passphrase given: ask at the terminal when there is one, else refuse.
    if (::isatty(STDIN_FILENO) == 1) return PEM_def_callback(buffer, size, rwflag, nullptr);
    return -1;
  }
  const size_t n = pass->text->size();
  if (size < 0 || n > static_cast<size_t>(size)) return -1;
  std::memcpy(buffer, pass->text->data(), n);
  return static_cast<int>(n);
}

// ---- keys ----
[[nodiscard]] Owned<EVP_PKEY> ReadPrivateKey(const std::string& path, Passphrase& pass,
                                             std::string& error) {
  std::string pem;
  if (!ReadFile(path, pem, error)) return nullptr;
  Owned<BIO> bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  if (!bio) {
    error = "out of memory reading " + path;
    return nullptr;
  }
  ERR_clear_error();
  Owned<EVP_PKEY> key(PEM_read_bio_PrivateKey(bio.get(), nullptr, PassphraseCallback, &pass));
  if (key) return key;
  const std::string reason = OpenSslReason();
  if (pass.asked && !pass.text && ::isatty(STDIN_FILENO) != 1) {
    error = path + " is encrypted: give its passphrase with --passphrase-file FILE or "
                   "--passphrase-env NAME";
  } else if (pass.asked) {
    error = "cannot decrypt the private key in " + path + ", wrong passphrase? (" + reason + ")";
  } else {
    error = path + " holds no private key in PEM (" + reason + ")";
  }
  return nullptr;
}

// ---- keygen ----
int Keygen(const std::string& privatePath, const std::string& publicPath, bool force,
           const Passphrase& pass) {
  if (!force) {
    for (const std::string& path : {privatePath, publicPath}) {
      struct stat st {};
      if (::lstat(path.c_str(), &st) == 0) {
        return Fail(path + " exists: keygen never replaces a key; give --force to replace it");
      }
    }
  }
  if (privatePath == publicPath) return Fail("the private and the public key need two files");
  Owned<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
  Owned<BIGNUM> e(BN_new());
  if (!ctx || !e || BN_set_word(e.get(), 3) != 1 || EVP_PKEY_keygen_init(ctx.get()) != 1 ||
      EVP_PKEY_CTX_set_rsa_keygen_bits(ctx.get(), 1024) != 1 ||
      EVP_PKEY_CTX_set1_rsa_keygen_pubexp(ctx.get(), e.get()) != 1) {
    return Fail("cannot set up RSA key generation (" + OpenSslReason() + ")");
  }
  EVP_PKEY* raw = nullptr;
  if (EVP_PKEY_generate(ctx.get(), &raw) != 1) {
    return Fail("key generation failed (" + OpenSslReason() + ")");
  }
  Owned<EVP_PKEY> key(raw);

  Owned<BIO> priv(BIO_new(BIO_s_mem()));
  const EVP_CIPHER* cipher = pass.text ? EVP_aes_256_cbc() : nullptr;
  auto* passData = pass.text ? reinterpret_cast<unsigned char*>(
                                   const_cast<char*>(pass.text->data()))
                             : nullptr;
  const int passLen = pass.text ? static_cast<int>(pass.text->size()) : 0;
  if (!priv || PEM_write_bio_PrivateKey(priv.get(), key.get(), cipher, passData, passLen,
                                        nullptr, nullptr) != 1) {
    return Fail("cannot encode the private key (" + OpenSslReason() + ")");
  }
  Owned<BIO> pub(BIO_new(BIO_s_mem()));
  Owned<OSSL_ENCODER_CTX> ectx(OSSL_ENCODER_CTX_new_for_pkey(
      key.get(), EVP_PKEY_PUBLIC_KEY, "PEM", "type-specific", nullptr));
  if (!pub || !ectx || OSSL_ENCODER_to_bio(ectx.get(), pub.get()) != 1) {
    return Fail("cannot encode the public key (" + OpenSslReason() + ")");
  }
  char* data = nullptr;
  long n = BIO_get_mem_data(priv.get(), &data);
  const std::string privText(data, static_cast<size_t>(n));
  n = BIO_get_mem_data(pub.get(), &data);
  const std::string pubText(data, static_cast<size_t>(n));
  if (pubText.find("-----BEGIN RSA PUBLIC KEY-----") == std::string::npos) {
    return Fail("the public key did not encode as RSA PUBLIC KEY");
  }
  std::string error;
  if (!WriteFile(privatePath, privText, 0600, error) ||
      !WriteFile(publicPath, pubText, 0644, error)) {
    return Fail(error);
  }
  return 0;
}

// ---- make ----
struct Entry {
  std::string path;  // "\\" separated
  std::string name;
  std::string digest;
  bool bank = false;
};

// ---- names ----
// The manifest's entries under the downloader's rules; false with the entry named in error.
bool EntriesAllowed(const std::vector<Entry>& entries, bool bank, std::string& error) {
  std::vector<corlinq::ManifestEntry> listed;
  for (const Entry& e : entries) {
    if (e.bank == bank) listed.push_back({e.path, e.name, e.digest});
  }
  return corlinq::CheckManifestEntries(listed, error);
}

std::string XmlEscape(std::string_view s) {
  std::string out;
  for (char c : s) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&apos;"; break;
      default: out += c;
    }
  }
  return out;
}

// The release statement of one manifest; empty version: none (a manifest as before).
struct Release {
  std::string version;
  std::string expires;  // "YYYY-MM-DDThh:mm:ssZ" or empty
};

bool IsReleaseVersion(std::string_view v) {
  int parts = 0;
  size_t digits = 0;
  unsigned long long value = 0;
  for (size_t i = 0; i <= v.size(); ++i) {
    if (i == v.size() || v[i] == '.') {
      if (digits == 0 || value > 0xFFFFFFFFull || ++parts > 4) return false;
      digits = 0;
      value = 0;
    } else if (v[i] >= '0' && v[i] <= '9' && digits < 10) {
      value = value * 10 + static_cast<unsigned>(v[i] - '0');
      ++digits;
    } else {
      return false;
    }
  }
  return true;
}

bool IsUtcTime(const std::string& t) {
  int y, mo, d, h, mi, s;
  char tail = 0;
  if (t.size() != 20 || std::sscanf(t.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%c", &y, &mo, &d, &h, &mi, &s, &tail) != 7 ||
      tail != 'Z') {
    return false;
  }
  for (size_t i : {0, 1, 2, 3, 5, 6, 8, 9, 11, 12, 14, 15, 17, 18}) {
    if (t[i] < '0' || t[i] > '9') return false;
  }
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (y < 1970 || mo < 1 || mo > 12 || h > 23 || mi > 59 || s > 59) return false;
  const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
  return d >= 1 && d <= kDays[mo - 1] + (mo == 2 && leap ? 1 : 0);
}

// Base64 SHA-256 over Path LF FileName LF Digest LF of every entry of one manifest, in order.
std::string ListDigest(const std::vector<Entry>& entries, bool bank) {
  std::string list;
  for (const Entry& e : entries) {
    if (e.bank == bank) list += e.path + "\n" + e.name + "\n" + e.digest + "\n";
  }
  unsigned char digest[32];
  unsigned int len = 0;
  if (EVP_Digest(list.data(), list.size(), digest, &len, EVP_sha256(), nullptr) != 1) return "";
  return Base64(digest, len);
}

std::string ManifestText(const std::vector<Entry>& entries, bool bank, const Release& release,
                         const std::string& self, const std::string& companion) {
  std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<Digest>\r\n<FileInfo>\r\n";
  for (const Entry& e : entries) {
    if (e.bank != bank) continue;
    xml += "<File Path=\"" + XmlEscape(e.path) + "\" FileName=\"" + XmlEscape(e.name) +
           "\" Digest=\"" + e.digest + "\"/>\r\n";
  }
  xml += "</FileInfo>\r\n";
  if (!release.version.empty()) {
    xml += "<Release Version=\"" + release.version + "\"";
    if (!release.expires.empty()) xml += " Expires=\"" + release.expires + "\"";
    xml += " Manifest=\"" + XmlEscape(self) + "\" Companion=\"" + XmlEscape(companion) +
           "\" CompanionList=\"" + ListDigest(entries, !bank) + "\"/>\r\n";
  }
  xml += "</Digest>\r\n";
  return xml;
}

int Make(const fs::path& release, int bankId, const fs::path& outDir, const Release& statement) {
  const std::string bankText = corlinq::BankIdHex3(bankId);
  const std::string bankManifest = "Digest_" + bankText + ".xml";
  std::vector<fs::path> files;
  std::string error;
  if (!ReleaseFiles(release, files, error)) return Fail(error);
  std::vector<Entry> entries;
  for (const fs::path& rel : files) {
    std::vector<std::string> parts;
    for (const fs::path& p : rel) parts.push_back(p.string());
    const std::string name = parts.back();
    parts.pop_back();
    const std::string lowerName = ToLowerAscii(name);
    Entry e;
    e.name = name;
    if (!IsPortableName(name)) return Fail("refusing the file name \"" + rel.string() + "\"");
    for (const std::string& part : parts) {
      if (!IsPortableName(part)) return Fail("refusing the folder name \"" + rel.string() + "\"");
      if (!e.path.empty()) e.path += '\\';
      e.path += part;
      if (ToLowerAscii(part) == bankText) e.bank = true;
    }
    if (lowerName.find("_" + bankText) != std::string::npos) e.bank = true;
    std::string content;
    unsigned char digest[20];
    if (!ReadFile((release / rel).string(), content, error)) return Fail(error);
    if (!Sha1(content, digest)) return Fail("SHA-1 failed (" + OpenSslReason() + ")");
    e.digest = Base64(digest, sizeof digest);
    entries.push_back(std::move(e));
  }
  std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
    return a.path != b.path ? a.path < b.path : a.name < b.name;
  });
  std::string refused;
  if (!EntriesAllowed(entries, false, refused)) return Fail("refusing Digest.xml: " + refused);
  if (!EntriesAllowed(entries, true, refused)) return Fail("refusing " + bankManifest + ": " + refused);
  std::error_code ec;
  fs::create_directories(outDir, ec);
  if (ec) return Fail("cannot make the folder " + outDir.string() + ": " + ec.message());
  if (!WriteFile((outDir / "Digest.xml").string(),
                 ManifestText(entries, false, statement, "Digest.xml", bankManifest), 0644, error) ||
      !WriteFile((outDir / bankManifest).string(),
                 ManifestText(entries, true, statement, bankManifest, "Digest.xml"), 0644, error)) {
    return Fail(error);
  }
  size_t bankCount = 0;
  for (const Entry& e : entries) bankCount += e.bank ? 1 : 0;
  std::printf("Digest.xml: %zu files, %s: %zu files\n", entries.size() - bankCount,
              bankManifest.c_str(), bankCount);
  return 0;
}

// ---- sign / verify ----
int Sign(EVP_PKEY* key, const std::string& file) {
  std::string text, error;
  if (!ReadFile(file, text, error)) return Fail(error);
  std::string content;
  if (!SplitSignature(text, content, nullptr)) return Fail(file + " has no closing tag to sign before");
  // Only a manifest the downloader reads and accepts is signed.
  const corlinq::ManifestLoad load = corlinq::LoadManifestText(content);
  if (load.status != corlinq::ManifestLoad::Status::kLoaded) return Fail("refusing " + file + ": " + load.error);
  unsigned char digest[20];
  if (!Sha1(content, digest)) return Fail("SHA-1 failed (" + OpenSslReason() + ")");
  Owned<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr));
  unsigned char sig[512];
  size_t sigLen = sizeof sig;
  if (!ctx || EVP_PKEY_sign_init(ctx.get()) != 1 ||
      EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1 ||
      EVP_PKEY_sign(ctx.get(), sig, &sigLen, digest, sizeof digest) != 1 || sigLen != 128) {
    return Fail("RSA signing of " + file + " failed (" + OpenSslReason() + ")");
  }
  std::string hex;
  for (size_t i = 0; i < sigLen; ++i) {
    static const char kDigits[] = "0123456789ABCDEF";
    hex += kDigits[sig[i] >> 4];
    hex += kDigits[sig[i] & 15];
  }
  const size_t last = content.rfind('<');
  const std::string out = content.substr(0, last) + std::string(kSignOpen) + hex +
                          std::string(kSignClose) + content.substr(last);
  struct stat st {};
  const mode_t mode = ::stat(file.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0644;
  if (!WriteFile(file, out, mode, error)) return Fail(error);
  return 0;
}

int Verify(EVP_PKEY* key, const std::string& file) {
  std::string text, error;
  if (!ReadFile(file, text, error)) return Fail(error);
  if (!CheckSignature(key, text, error)) return Fail(file + ": " + error);
  std::printf("%s: signature valid\n", file.c_str());
  return 0;
}

// ---- check ----
std::string JsonText(std::string_view s) {
  std::string out = "\"";
  for (char ch : s) {
    const auto c = static_cast<unsigned char>(ch);
    switch (ch) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20) {
          char buffer[8];
          std::snprintf(buffer, sizeof buffer, "\\u%04x", c);
          out += buffer;
        } else {
          out += ch;
        }
    }
  }
  return out + "\"";
}

int Check(const fs::path& release, EVP_PKEY* key, std::optional<int> bankId, bool json) {
  Report report;
  std::string error;
  if (!CheckRelease(release, key, bankId, report, error)) return Fail(error);
  const std::vector<Problem>& problems = report.problems;
  const std::vector<ManifestReport>& reports = report.manifests;

  if (json) {
    std::string out = "{\"release\":" + JsonText(release.string()) +
                      ",\"ok\":" + (problems.empty() ? "true" : "false") + ",\"manifests\":[";
    for (size_t i = 0; i < reports.size(); ++i) {
      out += (i ? "," : "") + std::string("{\"file\":") + JsonText(reports[i].name) +
             ",\"signatureValid\":" + (reports[i].signatureValid ? "true" : "false") +
             ",\"files\":" + std::to_string(reports[i].files) + "}";
    }
    out += "],\"problems\":[";
    for (size_t i = 0; i < problems.size(); ++i) {
      out += (i ? "," : "") + std::string("{\"kind\":") + JsonText(problems[i].kind) +
             ",\"file\":" + JsonText(problems[i].file) +
             ",\"message\":" + JsonText(problems[i].message) + "}";
    }
    out += "]}\n";
    std::fputs(out.c_str(), stdout);
  } else {
    for (const Problem& p : problems) {
      std::printf("%s: %s: %s\n", p.kind.c_str(), p.file.c_str(), p.message.c_str());
    }
    if (problems.empty()) {
      std::printf("%s: release checks out:", release.string().c_str());
      for (const ManifestReport& r : reports) std::printf(" %s %zu files,", r.name.c_str(), r.files);
      std::printf(" signatures valid\n");
    } else {
      std::printf("%s: %zu problem%s\n", release.string().c_str(), problems.size(),
                  problems.size() == 1 ? "" : "s");
    }
  }
  return problems.empty() ? 0 : kFailed;
}

// ---- command line ----
struct Args {
  std::string command;
  std::vector<std::string> operands;
  std::map<std::string, std::string> values;  // option name -> value ("" for flags)
  [[nodiscard]] bool has(const std::string& name) const { return values.count(name) != 0; }
  [[nodiscard]] std::string get(const std::string& name) const {
    const auto it = values.find(name);
    return it == values.end() ? std::string() : it->second;
  }
};

struct CommandRule {
  const char* name;
  std::vector<std::string> options;  // allowed
  std::vector<std::string> required;
  size_t minOperands;
  size_t maxOperands;
  const char* operandText;
};

const std::vector<CommandRule>& Rules() {
  static const std::vector<CommandRule> rules = {
      {"keygen", {"force", "passphrase-file", "passphrase-env"}, {}, 2, 2,
       "OUT_PRIVATE_PEM OUT_PUBLIC_PEM"},
      {"make", {"bank", "out", "release-version", "expires"}, {"bank"}, 1, 1, "RELEASE_DIR"},
      {"sign", {"key", "passphrase-file", "passphrase-env"}, {"key"}, 1, 64, "FILE..."},
      {"verify", {"pubkey"}, {"pubkey"}, 1, 64, "FILE..."},
      {"check", {"pubkey", "bank", "json"}, {"pubkey"}, 1, 1, "RELEASE_DIR"},
  };
  return rules;
}

const option kLongOptions[] = {
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, 'V'},
    {"force", no_argument, nullptr, 0},
    {"json", no_argument, nullptr, 0},
    {"bank", required_argument, nullptr, 0},
    {"out", required_argument, nullptr, 0},
    {"release-version", required_argument, nullptr, 0},
    {"expires", required_argument, nullptr, 0},
    {"key", required_argument, nullptr, 0},
    {"pubkey", required_argument, nullptr, 0},
    {"passphrase-file", required_argument, nullptr, 0},
    {"passphrase-env", required_argument, nullptr, 0},
    {nullptr, 0, nullptr, 0},
};

// 0: go on; otherwise the exit code (help, version, usage error).
int ParseArgs(int argc, char** argv, Args& args) {
  opterr = 0;
  optind = 1;
  bool help = false;
  bool version = false;
  for (;;) {
    int index = -1;
    const int c = getopt_long(argc, argv, ":hV", kLongOptions, &index);
    if (c == -1) break;
    if (c == 'h') {
      help = true;
    } else if (c == 'V') {
      version = true;
    } else if (c == 0 && index >= 0) {
      const std::string name = kLongOptions[index].name;
      if (args.has(name)) return UsageError("--" + name + " is given twice");
      args.values[name] = optarg ? optarg : "";
    } else if (c == ':') {
      return UsageError(std::string("the option ") + argv[optind - 1] + " wants a value");
    } else {
      const std::string bad = optopt ? std::string("-") + static_cast<char>(optopt)
                                     : std::string(argv[optind - 1]);
      return UsageError("unknown option " + bad);
    }
  }
  for (int i = optind; i < argc; ++i) args.operands.emplace_back(argv[i]);
  if (version) {
    std::printf("digest-tool %s\n", CORLINQ_TOOLS_VERSION);
    return -1;
  }
  if (help) {
    std::fputs(kHelp, stdout);
    return -1;
  }
  if (args.operands.empty()) return UsageError("no command given");
  args.command = args.operands.front();
  args.operands.erase(args.operands.begin());
  const CommandRule* rule = nullptr;
  for (const CommandRule& r : Rules()) {
    if (args.command == r.name) rule = &r;
  }
  if (rule == nullptr) return UsageError("unknown command \"" + args.command + "\"");
  for (const auto& [name, value] : args.values) {
    if (std::find(rule->options.begin(), rule->options.end(), name) == rule->options.end()) {
      return UsageError("--" + name + " is not an option of " + args.command);
    }
  }
  for (const std::string& name : rule->required) {
    if (!args.has(name)) return UsageError(args.command + " wants --" + name);
  }
  if (args.operands.size() < rule->minOperands || args.operands.size() > rule->maxOperands) {
    const std::string extra =
        args.operands.size() > rule->maxOperands ? " (\"" + args.operands.back() + "\" is one too many)" : "";
    return UsageError(args.command + " wants " + rule->operandText + extra);
  }
  return 0;
}

int Run(int argc, char** argv) {
  Args args;
  if (const int rc = ParseArgs(argc, argv, args); rc != 0) return rc < 0 ? 0 : rc;
  std::optional<int> bankId;
  if (args.has("bank")) {
    bankId = corlinq::ParseBankId(args.get("bank"));
    if (!bankId) {
      return UsageError("--bank \"" + args.get("bank") +
                        "\" is not a bank id (hexadecimal, with or without 0x: 5a5, 0x5a5)");
    }
  }
  std::string error;
  Passphrase pass;
  if (!LoadPassphrase(args.get("passphrase-file"), args.get("passphrase-env"), pass, error)) {
    return Fail(error);
  }
  const std::vector<std::string>& ops = args.operands;
  if (args.command == "keygen") return Keygen(ops[0], ops[1], args.has("force"), pass);
  if (args.command == "make") {
    const Release statement{args.get("release-version"), args.get("expires")};
    if (args.has("release-version") && !IsReleaseVersion(statement.version)) {
      return UsageError("--release-version wants one to four dotted decimal parts (2.0.0.1)");
    }
    if (args.has("expires") && (!args.has("release-version") || !IsUtcTime(statement.expires))) {
      return UsageError("--expires wants --release-version and a UTC time YYYY-MM-DDThh:mm:ssZ");
    }
    return Make(ops[0], *bankId, args.has("out") ? args.get("out") : ops[0], statement);
  }
  if (args.command == "sign") {
    Owned<EVP_PKEY> key = ReadPrivateKey(args.get("key"), pass, error);
    if (!key) return Fail(error);
    if (EVP_PKEY_get_size(key.get()) != 128) {
      return Fail(args.get("key") + " is not a 1024-bit RSA key");
    }
    for (const std::string& file : ops) {
      if (const int rc = Sign(key.get(), file); rc != 0) return rc;
    }
    return 0;
  }
  Key key = ReadPublicKey(args.get("pubkey"), error);
  if (!key) return Fail(error);
  if (args.command == "verify") {
    int rc = 0;
    for (const std::string& file : ops) rc = std::max(rc, Verify(key.get(), file));
    return rc;
  }
  return Check(ops[0], key.get(), bankId, args.has("json"));
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return Run(argc, argv);
  } catch (const std::exception& e) {
    return Fail(std::string("internal error: ") + e.what());
  } catch (...) {
    return Fail("internal error");
  }
}
