// Checking a signed release folder: the signatures of its two "Digest" manifests against the
// bank's public key and every listed file against its digest. digest-tool's "check" command and
// the update server's start-up check share it.
//
// Signature block of a manifest (written right before the root's closing tag, the file's last
// "<"): "\r\n<Sign>" + 256 upper-case hex digits + "</Sign>\r\n". The signature is RSA with
// PKCS #1 v1.5 type 1 padding over the bare SHA-1 (20 bytes, no DigestInfo) of the file without
// that block.
#pragma once

#include <openssl/types.h>

#include <cstddef>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace corlinq::release_check {

inline constexpr std::string_view kSignOpen = "\r\n<Sign>";
inline constexpr std::string_view kSignClose = "</Sign>\r\n";
inline constexpr size_t kHexDigits = 256;
inline constexpr size_t kBlock = 8 + kHexDigits + 9;

// A file descriptor, closed when it goes out of scope.
class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd();
  [[nodiscard]] int get() const { return fd_; }
  // Gives up ownership, for a close whose result the caller checks.
  [[nodiscard]] int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

struct KeyFree {
  void operator()(EVP_PKEY* key) const;
};
using Key = std::unique_ptr<EVP_PKEY, KeyFree>;

// The reason OpenSSL gave for the last failure ("no reason given" when none), with a clean
// error queue.
[[nodiscard]] std::string OpenSslReason();

// The whole file; on failure the error names the file and the reason (errno).
[[nodiscard]] bool ReadFile(const std::string& path, std::string& out, std::string& error);

[[nodiscard]] bool Sha1(std::string_view data, unsigned char out[20]);
[[nodiscard]] std::string Base64(const unsigned char* data, size_t size);

// A name Windows can hold as one path segment (no separators, no reserved characters, UTF-8).
[[nodiscard]] bool IsPortableName(std::string_view name);
// Digest.xml or Digest_<anything>.xml, in any letter case.
[[nodiscard]] bool IsManifestName(std::string_view name);

// Every regular file under a release folder, as paths relative to it (manifests at the top left
// out), or an error naming the folder.
[[nodiscard]] bool ReleaseFiles(const std::filesystem::path& release,
                                std::vector<std::filesystem::path>& out, std::string& error);

// Splits a manifest into the signed content and, when present, the signature's hex digits.
// Returns false when the text has no closing tag to sign before.
[[nodiscard]] bool SplitSignature(const std::string& text, std::string& content,
                                  std::string* hexDigits);

// An RSA public key from PEM ("RSA PUBLIC KEY" or "PUBLIC KEY"); null with the reason.
[[nodiscard]] Key ReadPublicKey(const std::string& path, std::string& error);

// Whether a manifest text's signature holds under the key; the reason when it does not.
[[nodiscard]] bool CheckSignature(EVP_PKEY* key, const std::string& text, std::string& reason);

struct Problem {
  std::string kind;  // missing, tampered, bad-signature, unsafe-path, unlisted, malformed
  std::string file;  // relative to the release folder, "/" separated
  std::string message;
};

struct ManifestReport {
  std::string name;
  bool signatureValid = false;
  size_t files = 0;
};

struct Report {
  std::vector<Problem> problems;
  std::vector<ManifestReport> manifests;
};

// Checks a release folder: Digest.xml and the bank's manifest (Digest_%03x.xml of bankId, else
// every Digest_*.xml at the top), each file they list, and files that none lists. False (with
// the error) only when the folder cannot be checked at all; the problems found go to the report.
[[nodiscard]] bool CheckRelease(const std::filesystem::path& release, EVP_PKEY* key,
                                std::optional<int> bankId, Report& report, std::string& error);

}  // namespace corlinq::release_check
