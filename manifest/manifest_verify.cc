#include "manifest/manifest_verify.h"

#include <openssl/bio.h>
#include <openssl/decoder.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "manifest/manifest_xml.h"

namespace corlinq {
namespace {

struct BioFree {
  void operator()(BIO* b) const { BIO_free(b); }
};
struct PkeyFree {
  void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
struct PkeyCtxFree {
  void operator()(EVP_PKEY_CTX* c) const { EVP_PKEY_CTX_free(c); }
};
struct DecoderCtxFree {
  void operator()(OSSL_DECODER_CTX* c) const { OSSL_DECODER_CTX_free(c); }
};
using UniqueBio = std::unique_ptr<BIO, BioFree>;
using UniquePkey = std::unique_ptr<EVP_PKEY, PkeyFree>;
using UniquePkeyCtx = std::unique_ptr<EVP_PKEY_CTX, PkeyCtxFree>;
using UniqueDecoderCtx = std::unique_ptr<OSSL_DECODER_CTX, DecoderCtxFree>;

// Reads a PKCS #1 "RSA PUBLIC KEY" PEM block from memory.
UniquePkey ReadRsaPublicKey(const std::string& pem) {
  if (pem.empty() || pem.size() > 64 * 1024) return nullptr;
  UniqueBio bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  if (!bio) return nullptr;
  EVP_PKEY* raw = nullptr;
  UniqueDecoderCtx dctx(OSSL_DECODER_CTX_new_for_pkey(&raw, "PEM", "type-specific", "RSA",
                                                      EVP_PKEY_PUBLIC_KEY, nullptr, nullptr));
  if (!dctx) return nullptr;
  if (OSSL_DECODER_from_bio(dctx.get(), bio.get()) != 1) {
    EVP_PKEY_free(raw);
    return nullptr;
  }
  return UniquePkey(raw);
}

bool Sha1(std::string_view data, unsigned char out[kSha1Bytes]) {
  unsigned int len = 0;
  return EVP_Digest(data.data(), data.size(), out, &len, EVP_sha1(), nullptr) == 1 &&
         len == kSha1Bytes;
}

int HexValue(char c) {
  if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  const int v = static_cast<unsigned char>(c) - '0';
  if (v >= 0 && v <= 15) return v;         // "0" to "9", then ":" to "?" as 10 to 15
  if (v >= 17 && v <= 22) return v - 7;    // "A" to "F"
  return 0;                                // "@" and everything else
}

}  // namespace

std::string HexDecodeLenient(std::string_view digits) {
  if (digits.size() > kSignHexDigits) return std::string();
  std::string out((digits.size() + 1) / 2, '\0');
  for (size_t k = 0; k < out.size(); ++k) {
    const int hi = HexValue(digits[2 * k]);
    const int lo = 2 * k + 1 < digits.size() ? HexValue(digits[2 * k + 1]) : 0;
    out[k] = static_cast<char>(hi * 16 + lo);
  }
  return out;
}

bool VerifyManifestBytes(std::string_view file, const std::string& keyPem) {
  UniquePkey key = ReadRsaPublicKey(keyPem);
  if (!key) return false;
  // A manifest is text: a zero byte anywhere means it is not one of ours.
  if (file.find('\0') != std::string_view::npos) return false;
  const size_t last = file.rfind('<');
  if (last == std::string_view::npos || last < kSignBlockSize) return false;
  const size_t block = last - kSignBlockSize;
  if (file.compare(block, kSignOpenSize, kSignOpen) != 0) return false;
  const std::string signature =
      HexDecodeLenient(file.substr(block + kSignOpenSize, kSignHexDigits));

  std::string signedContent;
  signedContent.reserve(file.size() - kSignBlockSize);
  signedContent.append(file.substr(0, block));
  signedContent.append(file.substr(last));
  unsigned char digest[kSha1Bytes];
  if (!Sha1(signedContent, digest)) return false;

  UniquePkeyCtx ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key.get(), nullptr));
  if (!ctx || EVP_PKEY_verify_recover_init(ctx.get()) != 1 ||
      EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1) {
    return false;
  }
  const int keySize = EVP_PKEY_get_size(key.get());
  if (keySize <= 0) return false;
  std::string recovered(static_cast<size_t>(keySize), '\0');
  size_t recoveredLen = recovered.size();
  if (EVP_PKEY_verify_recover(ctx.get(), reinterpret_cast<unsigned char*>(recovered.data()),
                              &recoveredLen,
                              reinterpret_cast<const unsigned char*>(signature.data()),
                              signature.size()) != 1) {
    return false;
  }
  return recoveredLen == kSha1Bytes && std::memcmp(recovered.data(), digest, kSha1Bytes) == 0;
}

bool VerifyManifestFile(const std::string& path, const std::string& keyPem) {
  if (keyPem.empty()) return false;
  std::string bytes;
  if (!ReadWholeFile(path, bytes)) return false;
  return VerifyManifestBytes(bytes, keyPem);
}

}  // namespace corlinq
