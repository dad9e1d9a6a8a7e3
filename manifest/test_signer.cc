#include "manifest/test_signer.h"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/encoder.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <stdexcept>

#include "gtest/gtest.h"

namespace corlinq::testing {
namespace {

struct Free {
  void operator()(BIO* p) const { BIO_free(p); }
  void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
  void operator()(EVP_PKEY_CTX* p) const { EVP_PKEY_CTX_free(p); }
  void operator()(BIGNUM* p) const { BN_free(p); }
  void operator()(OSSL_ENCODER_CTX* p) const { OSSL_ENCODER_CTX_free(p); }
};
template <typename T>
using Owned = std::unique_ptr<T, Free>;

std::string ReadKeyFile(const char* name) {
  std::ifstream in(std::filesystem::u8path(std::string(CORLINQ_TEST_KEYS_DIR) + "/" + name),
                   std::ios::binary);
  if (!in) throw std::runtime_error(std::string("cannot read keys/") + name);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string BioText(BIO* bio) {
  char* data = nullptr;
  const long n = BIO_get_mem_data(bio, &data);
  return std::string(data, static_cast<size_t>(n));
}

std::filesystem::path TempRoot() {
  const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string leaf = "corlinq_manifest_tests";
  if (info != nullptr) leaf += std::string("_") + info->test_suite_name() + "_" + info->name();
  for (char& c : leaf) {
    if (c == '/') c = '_';
  }
  const std::filesystem::path root = std::filesystem::temp_directory_path() / leaf;
  std::filesystem::create_directories(root);
  return root;
}

}  // namespace

std::string DemoPrivateKeyPem() { return ReadKeyFile("manifest-signing.pem"); }
std::string DemoPublicKeyPem() { return ReadKeyFile("manifest-public.pem"); }

void NewKeyPair(std::string& privatePem, std::string& publicPem) {
  Owned<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
  Owned<BIGNUM> e(BN_new());
  EVP_PKEY* raw = nullptr;
  if (!ctx || !e || BN_set_word(e.get(), 3) != 1 || EVP_PKEY_keygen_init(ctx.get()) != 1 ||
      EVP_PKEY_CTX_set_rsa_keygen_bits(ctx.get(), 1024) != 1 ||
      EVP_PKEY_CTX_set1_rsa_keygen_pubexp(ctx.get(), e.get()) != 1 ||
      EVP_PKEY_generate(ctx.get(), &raw) != 1) {
    throw std::runtime_error("keygen");
  }
  Owned<EVP_PKEY> key(raw);
  Owned<BIO> priv(BIO_new(BIO_s_mem()));
  Owned<BIO> pub(BIO_new(BIO_s_mem()));
  Owned<OSSL_ENCODER_CTX> ectx(OSSL_ENCODER_CTX_new_for_pkey(key.get(), EVP_PKEY_PUBLIC_KEY,
                                                             "PEM", "type-specific", nullptr));
  if (PEM_write_bio_PrivateKey(priv.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1 ||
      !ectx || OSSL_ENCODER_to_bio(ectx.get(), pub.get()) != 1) {
    throw std::runtime_error("key encoding");
  }
  privatePem = BioText(priv.get());
  publicPem = BioText(pub.get());
}

std::string SignManifestText(const std::string& unsignedText, const std::string& privatePem,
                             SignStyle style) {
  Owned<BIO> bio(BIO_new_mem_buf(privatePem.data(), static_cast<int>(privatePem.size())));
  Owned<EVP_PKEY> key(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
  if (!key) throw std::runtime_error("private key");
  unsigned char digest[20];
  unsigned int digestLen = 0;
  EVP_Digest(unsignedText.data(), unsignedText.size(), digest, &digestLen, EVP_sha1(), nullptr);
  std::string message(reinterpret_cast<char*>(digest), 20);
  if (style == SignStyle::kDigestInfo) {
    static const unsigned char kSha1Prefix[] = {0x30, 0x21, 0x30, 0x09, 0x06, 0x05, 0x2b, 0x0e,
                                                0x03, 0x02, 0x1a, 0x05, 0x00, 0x04, 0x14};
    message = std::string(reinterpret_cast<const char*>(kSha1Prefix), sizeof kSha1Prefix) + message;
  }
  Owned<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key.get(), nullptr));
  unsigned char sig[128];
  size_t sigLen = sizeof sig;
  if (!ctx || EVP_PKEY_sign_init(ctx.get()) != 1 ||
      EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1 ||
      EVP_PKEY_sign(ctx.get(), sig, &sigLen, reinterpret_cast<const unsigned char*>(message.data()),
                    message.size()) != 1) {
    throw std::runtime_error("sign");
  }
  std::string hex;
  for (size_t i = 0; i < sigLen; ++i) {
    static const char kDigits[] = "0123456789ABCDEF";
    hex += kDigits[sig[i] >> 4];
    hex += kDigits[sig[i] & 15];
  }
  const size_t last = unsignedText.rfind('<');
  return unsignedText.substr(0, last) + "\r\n<Sign>" + hex + "</Sign>\r\n" +
         unsignedText.substr(last);
}

std::string WriteTempFile(const std::string& name, const std::string& bytes) {
  const std::filesystem::path path = TempRoot() / std::filesystem::u8path(name);
  std::filesystem::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  return path.u8string();
}

std::string MakeTempFolder(const std::string& name) {
  const std::filesystem::path path = TempRoot() / std::filesystem::u8path(name);
  std::filesystem::remove_all(path);
  std::filesystem::create_directories(path);
  return path.u8string() + "/";
}

}  // namespace corlinq::testing
