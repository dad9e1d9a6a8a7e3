// digest-tool: makes, signs and checks the "Digest" manifests of a release.
//
//   digest-tool keygen OUT_PRIVATE_PEM OUT_PUBLIC_PEM
//   digest-tool make RELEASE_DIR --bank HEX [--out DIR] [--release-version V [--expires T]]
//   digest-tool sign --key PRIVATE_PEM FILE
//   digest-tool verify --pubkey PUBLIC_PEM FILE
//
// Signature block (written right before the root's closing tag, the file's last "<"):
//   "\r\n<Sign>" + 256 upper-case hex digits + "</Sign>\r\n"
// The signature is RSA with PKCS #1 v1.5 type 1 padding over the bare SHA-1 (20 bytes, no
// DigestInfo) of the file without that block.
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/encoder.h>
#include <openssl/decoder.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/strings.h"

namespace fs = std::filesystem;
using corlinq::IsValidUtf8;
using corlinq::ToLowerAscii;

namespace {

constexpr std::string_view kSignOpen = "\r\n<Sign>";
constexpr std::string_view kSignClose = "</Sign>\r\n";
constexpr size_t kHexDigits = 256;
constexpr size_t kBlock = 8 + kHexDigits + 9;

const char kHelp[] =
    "digest-tool: makes and signs the Digest manifests of a release\n"
    "\n"
    "  digest-tool keygen OUT_PRIVATE_PEM OUT_PUBLIC_PEM\n"
    "      New 1024-bit RSA key pair with exponent 3: the private key as PKCS #8 PEM, the public\n"
    "      key as PKCS #1 PEM (\"RSA PUBLIC KEY\"), the form the downloader builds in.\n"
    "\n"
    "  digest-tool make RELEASE_DIR --bank HEX [--out DIR] [--release-version V\n"
    "                   [--expires YYYY-MM-DDThh:mm:ssZ]]\n"
    "      Walks RELEASE_DIR and writes the common manifest \"Digest.xml\" and the bank manifest\n"
    "      \"Digest_%0.3x.xml\" (for --bank 867: Digest_867.xml) into DIR (default RELEASE_DIR),\n"
    "      unsigned. Each file becomes <File Path=\"a\\b\" FileName=\"x.dll\" Digest=\"...\"/>\n"
    "      with Path relative to RELEASE_DIR (\"\\\" separators, empty at the top) and Digest the\n"
    "      Base64 SHA-1 of the content. Files are taken in byte order of their paths.\n"
    "      Which manifest a file goes into:\n"
    "        - the bank manifest when its name contains \"_<hex>\" (\"_867\": WebUI_867.exe) or\n"
    "          one of its folders is named <hex> (\"867\\skin.png\"), letter case ignored,\n"
    "          with <hex> the bank id as %0.3x;\n"
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
    "  digest-tool sign --key PRIVATE_PEM FILE\n"
    "      Signs FILE in place: \"\\r\\n<Sign>\" + 256 upper-case hex digits + \"</Sign>\\r\\n\"\n"
    "      before the root's closing tag. A file already signed is signed afresh.\n"
    "\n"
    "  digest-tool verify --pubkey PUBLIC_PEM FILE\n"
    "      Exit code 0 when FILE carries a valid signature under the key, 1 otherwise.\n";

// ---- OpenSSL owners ----
struct Free {
  void operator()(BIO* p) const { BIO_free(p); }
  void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
  void operator()(EVP_PKEY_CTX* p) const { EVP_PKEY_CTX_free(p); }
  void operator()(BIGNUM* p) const { BN_free(p); }
  void operator()(OSSL_ENCODER_CTX* p) const { OSSL_ENCODER_CTX_free(p); }
  void operator()(OSSL_DECODER_CTX* p) const { OSSL_DECODER_CTX_free(p); }
  void operator()(EVP_ENCODE_CTX* p) const { EVP_ENCODE_CTX_free(p); }
};
template <typename T>
using Owned = std::unique_ptr<T, Free>;

int Fail(const std::string& message) {
  std::fprintf(stderr, "digest-tool: %s\n", message.c_str());
  return 1;
}

bool ReadFile(const fs::path& path, std::string& out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

bool WriteFile(const fs::path& path, std::string_view data) {
  const fs::path tmp = path.string() + ".tmp";
  {
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    if (!out) return false;
    out.write(data.data(), static_cast<std::streamsize>(data.size()));
    if (!out) return false;
  }
  std::error_code ec;
  fs::rename(tmp, path, ec);
  return !ec;
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

Owned<EVP_PKEY> ReadPrivateKey(const std::string& pemPath) {
  std::string pem;
  if (!ReadFile(pemPath, pem)) return nullptr;
  Owned<BIO> bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  if (!bio) return nullptr;
  return Owned<EVP_PKEY>(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
}

Owned<EVP_PKEY> ReadPublicKey(const std::string& pemPath) {
  std::string pem;
  if (!ReadFile(pemPath, pem)) return nullptr;
  Owned<BIO> bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  if (!bio) return nullptr;
  EVP_PKEY* raw = nullptr;
  // Either "RSA PUBLIC KEY" (PKCS #1) or "PUBLIC KEY" (SubjectPublicKeyInfo).
  Owned<OSSL_DECODER_CTX> dctx(OSSL_DECODER_CTX_new_for_pkey(&raw, "PEM", nullptr, "RSA",
                                                             EVP_PKEY_PUBLIC_KEY, nullptr,
                                                             nullptr));
  if (!dctx || OSSL_DECODER_from_bio(dctx.get(), bio.get()) != 1) {
    EVP_PKEY_free(raw);
    return nullptr;
  }
  return Owned<EVP_PKEY>(raw);
}

// ---- keygen ----
int Keygen(const std::string& privatePath, const std::string& publicPath) {
  Owned<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
  Owned<BIGNUM> e(BN_new());
  if (!ctx || !e || BN_set_word(e.get(), 3) != 1 || EVP_PKEY_keygen_init(ctx.get()) != 1 ||
      EVP_PKEY_CTX_set_rsa_keygen_bits(ctx.get(), 1024) != 1 ||
      EVP_PKEY_CTX_set1_rsa_keygen_pubexp(ctx.get(), e.get()) != 1) {
    return Fail("cannot set up RSA key generation");
  }
  EVP_PKEY* raw = nullptr;
  if (EVP_PKEY_generate(ctx.get(), &raw) != 1) return Fail("key generation failed");
  Owned<EVP_PKEY> key(raw);

  Owned<BIO> priv(BIO_new(BIO_s_mem()));
  if (!priv || PEM_write_bio_PrivateKey(priv.get(), key.get(), nullptr, nullptr, 0, nullptr,
                                        nullptr) != 1) {
    return Fail("cannot encode the private key");
  }
  Owned<BIO> pub(BIO_new(BIO_s_mem()));
  Owned<OSSL_ENCODER_CTX> ectx(OSSL_ENCODER_CTX_new_for_pkey(
      key.get(), EVP_PKEY_PUBLIC_KEY, "PEM", "type-specific", nullptr));
  if (!pub || !ectx || OSSL_ENCODER_to_bio(ectx.get(), pub.get()) != 1) {
    return Fail("cannot encode the public key");
  }
  char* data = nullptr;
  long n = BIO_get_mem_data(priv.get(), &data);
  const std::string privText(data, static_cast<size_t>(n));
  n = BIO_get_mem_data(pub.get(), &data);
  const std::string pubText(data, static_cast<size_t>(n));
  if (pubText.find("-----BEGIN RSA PUBLIC KEY-----") == std::string::npos) {
    return Fail("the public key did not encode as RSA PUBLIC KEY");
  }
  if (!WriteFile(privatePath, privText)) return Fail("cannot write " + privatePath);
  fs::permissions(privatePath, fs::perms::owner_read | fs::perms::owner_write,
                  fs::perm_options::replace);
  if (!WriteFile(publicPath, pubText)) return Fail("cannot write " + publicPath);
  return 0;
}

// ---- make ----
bool IsPortableName(std::string_view name) {
  if (name.empty() || name == "." || name == ".." || name.back() == '.' || name.back() == ' ') {
    return false;
  }
  for (char ch : name) {
    const auto c = static_cast<unsigned char>(ch);
    if (c < 0x20 || c == 0x7F || std::strchr("<>:\"/\\|?*", ch) != nullptr) return false;
  }
  return IsValidUtf8(name);
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

struct Entry {
  std::string path;  // "\" separated
  std::string name;
  std::string digest;
  bool bank = false;
};

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

int Make(const fs::path& release, const std::string& bankHex, const fs::path& outDir,
         const Release& statement) {
  if (!statement.version.empty() && !IsReleaseVersion(statement.version)) {
    return Fail("--release-version wants one to four dotted decimal parts (2.0.0.1)");
  }
  if (!statement.expires.empty() && (statement.version.empty() || !IsUtcTime(statement.expires))) {
    return Fail("--expires wants --release-version and a UTC time YYYY-MM-DDThh:mm:ssZ");
  }
  char* end = nullptr;
  const unsigned long bankId = std::strtoul(bankHex.c_str(), &end, 16);
  if (bankHex.empty() || *end != '\0' || bankId > 0xFFFFFF) {
    return Fail("--bank wants the bank id in hexadecimal (867)");
  }
  char hex[16];
  std::snprintf(hex, sizeof hex, "%03lx", bankId);
  const std::string bankText = hex;
  const std::string bankManifest = "Digest_" + bankText + ".xml";

  std::error_code ec;
  if (!fs::is_directory(release, ec)) return Fail(release.string() + " is not a folder");
  std::vector<fs::path> files;
  for (auto it = fs::recursive_directory_iterator(release, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    if (it->is_regular_file(ec)) files.push_back(it->path());
  }
  if (ec) return Fail("cannot walk " + release.string() + ": " + ec.message());
  std::vector<Entry> entries;
  for (const fs::path& file : files) {
    const fs::path rel = file.lexically_relative(release);
    std::vector<std::string> parts;
    for (const fs::path& p : rel) parts.push_back(p.string());
    const std::string name = parts.back();
    parts.pop_back();
    const std::string lowerName = ToLowerAscii(name);
    if (parts.empty() && (lowerName == "digest.xml" ||
                          (lowerName.rfind("digest_", 0) == 0 && lowerName.size() > 11 &&
                           lowerName.compare(lowerName.size() - 4, 4, ".xml") == 0))) {
      continue;
    }
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
    if (!ReadFile(file, content) || !Sha1(content, digest)) {
      return Fail("cannot read " + file.string());
    }
    e.digest = Base64(digest, sizeof digest);
    entries.push_back(std::move(e));
  }
  std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
    return a.path != b.path ? a.path < b.path : a.name < b.name;
  });
  fs::create_directories(outDir, ec);
  if (!WriteFile(outDir / "Digest.xml",
                 ManifestText(entries, false, statement, "Digest.xml", bankManifest)) ||
      !WriteFile(outDir / bankManifest,
                 ManifestText(entries, true, statement, bankManifest, "Digest.xml"))) {
    return Fail("cannot write the manifests into " + outDir.string());
  }
  size_t bankCount = 0;
  for (const Entry& e : entries) bankCount += e.bank ? 1 : 0;
  std::printf("Digest.xml: %zu files, %s: %zu files\n", entries.size() - bankCount,
              bankManifest.c_str(), bankCount);
  return 0;
}

// ---- sign / verify ----
// Splits a manifest into the signed content and, when present, the signature's hex digits.
// Returns false when the text has no closing tag to sign before.
bool Split(const std::string& text, std::string& content, std::string* hexDigits) {
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

int Sign(const std::string& keyPath, const std::string& file) {
  Owned<EVP_PKEY> key = ReadPrivateKey(keyPath);
  if (!key) return Fail("cannot read a private key from " + keyPath);
  if (EVP_PKEY_get_size(key.get()) != 128) return Fail("the key must be a 1024-bit RSA key");
  std::string text;
  if (!ReadFile(file, text)) return Fail("cannot read " + file);
  std::string content;
  if (!Split(text, content, nullptr)) return Fail(file + " has no closing tag to sign before");
  unsigned char digest[20];
  if (!Sha1(content, digest)) return Fail("SHA-1 failed");
  Owned<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key.get(), nullptr));
  unsigned char sig[512];
  size_t sigLen = sizeof sig;
  if (!ctx || EVP_PKEY_sign_init(ctx.get()) != 1 ||
      EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1 ||
      EVP_PKEY_sign(ctx.get(), sig, &sigLen, digest, sizeof digest) != 1 || sigLen != 128) {
    return Fail("RSA signing failed");
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
  if (!WriteFile(file, out)) return Fail("cannot write " + file);
  return 0;
}

int Verify(const std::string& keyPath, const std::string& file) {
  Owned<EVP_PKEY> key = ReadPublicKey(keyPath);
  if (!key) return Fail("cannot read a public key from " + keyPath);
  std::string text;
  if (!ReadFile(file, text)) return Fail("cannot read " + file);
  std::string content, hex;
  if (!Split(text, content, &hex) || hex.empty()) return Fail(file + ": no signature block");
  unsigned char sig[128];
  for (size_t i = 0; i < 128; ++i) {
    unsigned v = 0;
    for (int k = 0; k < 2; ++k) {
      const char c = hex[2 * i + static_cast<size_t>(k)];
      const char* p = std::strchr("0123456789abcdef", c >= 'A' && c <= 'F' ? c - 'A' + 'a' : c);
      if (c == '\0' || p == nullptr) return Fail(file + ": the signature is not hexadecimal");
      v = v * 16 + static_cast<unsigned>(p - "0123456789abcdef");
    }
    sig[i] = static_cast<unsigned char>(v);
  }
  unsigned char digest[20];
  if (!Sha1(content, digest)) return Fail("SHA-1 failed");
  Owned<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key.get(), nullptr));
  unsigned char rec[512];
  size_t recLen = sizeof rec;
  if (!ctx || EVP_PKEY_verify_recover_init(ctx.get()) != 1 ||
      EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1 ||
      EVP_PKEY_verify_recover(ctx.get(), rec, &recLen, sig, sizeof sig) != 1) {
    return Fail(file + ": the signature does not open under this key");
  }
  if (recLen != 20 || std::memcmp(rec, digest, 20) != 0) {
    return Fail(file + ": the signature does not match the content");
  }
  std::printf("%s: signature valid\n", file.c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty() || args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
    std::fputs(kHelp, args.empty() ? stderr : stdout);
    return args.empty() ? 2 : 0;
  }
  const std::string& cmd = args[0];
  if (cmd == "keygen" && args.size() == 3) return Keygen(args[1], args[2]);
  if (cmd == "make" && args.size() >= 4 && args.size() % 2 == 0 && args[2] == "--bank") {
    fs::path out = args[1];
    Release statement;
    for (size_t i = 4; i + 1 < args.size(); i += 2) {
      if (args[i] == "--out") {
        out = args[i + 1];
      } else if (args[i] == "--release-version") {
        if (!IsReleaseVersion(args[i + 1])) {
          return Fail("--release-version wants one to four dotted decimal parts (2.0.0.1)");
        }
        statement.version = args[i + 1];
      } else if (args[i] == "--expires") {
        statement.expires = args[i + 1];
      } else {
        return Fail("unknown option " + args[i]);
      }
    }
    return Make(args[1], args[3], out, statement);
  }
  if (cmd == "sign" && args.size() == 4 && args[1] == "--key") return Sign(args[2], args[3]);
  if (cmd == "verify" && args.size() == 4 && args[1] == "--pubkey") {
    return Verify(args[2], args[3]);
  }
  std::fputs(kHelp, stderr);
  return 2;
}
