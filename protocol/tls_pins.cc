#include "protocol/tls_pins.h"

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <algorithm>
#include <climits>

namespace corlinq {
namespace {

bool IsBase64Char(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/';
}

// 32 bytes in Base64: 43 characters and one '=', the last character one of the 16 whose low two
// bits are zero.
bool IsSha256Base64(std::string_view pin) {
  if (pin.size() != 44 || pin[43] != '=') return false;
  if (!std::all_of(pin.begin(), pin.begin() + 43, IsBase64Char)) return false;
  static constexpr std::string_view kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  return kAlphabet.find(pin[42]) % 4 == 0;
}

std::string_view Trim(std::string_view text) {
  const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  return text;
}

}  // namespace

std::optional<std::vector<std::string>> ParseTlsPins(std::string_view text) {
  std::vector<std::string> pins;
  size_t pos = 0;
  while (pos <= text.size()) {
    const size_t end = std::min(text.find_first_of(",;\n", pos), text.size());
    std::string_view entry = Trim(text.substr(pos, end - pos));
    pos = end + 1;
    if (entry.empty()) continue;
    if (entry.substr(0, 8) == "sha256//") entry.remove_prefix(8);
    if (!IsSha256Base64(entry)) return std::nullopt;
    if (std::find(pins.begin(), pins.end(), entry) == pins.end()) pins.emplace_back(entry);
  }
  return pins;
}

std::optional<std::string> CertificateKeyPin(const unsigned char* der, size_t size) {
  if (der == nullptr || size == 0 || size > static_cast<size_t>(LONG_MAX)) return std::nullopt;
  const unsigned char* cursor = der;
  X509* certificate = d2i_X509(nullptr, &cursor, static_cast<long>(size));
  if (certificate == nullptr) return std::nullopt;
  // Trailing bytes after the certificate are not a certificate.
  std::optional<std::string> pin;
  unsigned char* spki = nullptr;
  const int spkiSize = cursor == der + size ? i2d_X509_PUBKEY(X509_get_X509_PUBKEY(certificate), &spki) : -1;
  if (spkiSize > 0) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digestSize = 0;
    if (EVP_Digest(spki, static_cast<size_t>(spkiSize), digest, &digestSize, EVP_sha256(), nullptr) == 1 &&
        digestSize == 32) {
      unsigned char text[45] = {};
      if (EVP_EncodeBlock(text, digest, 32) == 44) pin.emplace(reinterpret_cast<const char*>(text), 44);
    }
  }
  OPENSSL_free(spki);
  X509_free(certificate);
  return pin;
}

bool CertificateMatchesPins(const unsigned char* der, size_t size, const std::vector<std::string>& pins) {
  const std::optional<std::string> pin = CertificateKeyPin(der, size);
  return pin && std::find(pins.begin(), pins.end(), *pin) != pins.end();
}

}  // namespace corlinq
