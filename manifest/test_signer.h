#pragma once
// Test-only signer: lays out signed manifests the way a bank's tool does, with the demo signing
// key, so the verifier's tests need no outside program (they also run under Wine).
#include <string>

namespace corlinq::testing {

enum class SignStyle {
  kBareDigest,  // the real format: PKCS #1 type 1 over the bare 20-byte SHA-1
  kDigestInfo,  // the digest wrapped in a DigestInfo (35 bytes recovered): must be refused
};

// PEM text of the demo signing key and of its public half (from the source tree's keys/).
std::string DemoPrivateKeyPem();
std::string DemoPublicKeyPem();
// A fresh 1024-bit key with exponent 3 (private PEM, public "RSA PUBLIC KEY" PEM).
void NewKeyPair(std::string& privatePem, std::string& publicPem);

// Inserts "\r\n<Sign>" + 256 upper-case hex digits + "</Sign>\r\n" before the last "<" of
// unsigned, signing unsigned's bytes (= X followed by T).
std::string SignManifestText(const std::string& unsignedText, const std::string& privatePem,
                             SignStyle style = SignStyle::kBareDigest);

// Writes bytes to a new file under the test temp folder; returns its UTF-8 path.
std::string WriteTempFile(const std::string& name, const std::string& bytes);
// A fresh empty folder under the test temp folder (UTF-8 path, trailing "/").
std::string MakeTempFolder(const std::string& name);

}  // namespace corlinq::testing
