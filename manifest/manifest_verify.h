#pragma once
// The signature block embedded in a manifest and its check.
//
// Let L be the position of the file's last "<" (the root's closing tag). The file is:
//   [0, L-273)      X, the signed document text
//   [L-273, L-265)  "\r\n<Sign>"
//   [L-265, L-9)    256 hexadecimal digits: the 128-byte signature, most significant byte first
//   [L-9, L)        9 bytes nobody inspects (the signer writes "</Sign>\r\n")
//   [L, end)        T, the root's closing tag and what follows it (no "<")
// The signature is the RSA private-key operation with PKCS #1 v1.5 type 1 padding over the bare
// 20-byte SHA-1 of X followed by T (no DigestInfo).
#include <cstddef>
#include <string>
#include <string_view>

namespace corlinq {

inline constexpr char kSignOpen[] = "\r\n<Sign>";
inline constexpr size_t kSignOpenSize = 8;
inline constexpr size_t kSignHexDigits = 256;
inline constexpr size_t kSignFreeBytes = 9;
inline constexpr size_t kSignBlockSize = kSignOpenSize + kSignHexDigits + kSignFreeBytes;  // 273
inline constexpr size_t kSignatureBytes = 128;
inline constexpr size_t kSha1Bytes = 20;

// The built-in key (PEM "RSA PUBLIC KEY") every manifest is verified with; chosen at build time.
[[nodiscard]] const std::string& ManifestPublicKey();

// True when the file at path (UTF-8) carries a valid signature block under keyPem.
[[nodiscard]] bool VerifyManifestFile(const std::string& path, const std::string& keyPem);
// The same check on bytes already in memory.
[[nodiscard]] bool VerifyManifestBytes(std::string_view file, const std::string& keyPem);

// Hexadecimal digits to bytes, leniently: case is ignored, the characters ":" to "?" count as 10
// to 15, "@" and every other character as 0; an odd last digit is the high half of a byte whose
// low half is 0. More than 256 digits give nothing (empty result).
[[nodiscard]] std::string HexDecodeLenient(std::string_view digits);

}  // namespace corlinq
