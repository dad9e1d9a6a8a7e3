#pragma once
// Pins of the update servers' public keys. A pin is the Base64 of the SHA-256 digest of a
// certificate's DER SubjectPublicKeyInfo (the form HPKP and curl's "sha256//" use), 44
// characters. A bank's build may carry a list (build option TLS_PINS); when it is not empty every
// HTTPS server must present a certificate whose key is on the list, and nothing else is spoken
// to: a mismatch, or a plain-HTTP URL, is a failed connection, so the query fails over to the
// next server.
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace corlinq {

// The build's list, empty when the bank pins nothing.
[[nodiscard]] const std::vector<std::string>& BuildTlsPins();

// A list as written: pins separated by ',' ';' or line breaks, blanks around them ignored, each
// optionally "sha256//"-prefixed. nullopt when any entry is not 44 characters of Base64 that
// decode to 32 bytes.
[[nodiscard]] std::optional<std::vector<std::string>> ParseTlsPins(std::string_view text);

// The pin of a DER certificate's public key; nullopt when the bytes are not a certificate.
[[nodiscard]] std::optional<std::string> CertificateKeyPin(const unsigned char* der, size_t size);

// True when the certificate's key pin is one of pins (false for bytes that are no certificate).
[[nodiscard]] bool CertificateMatchesPins(const unsigned char* der, size_t size,
                                          const std::vector<std::string>& pins);

}  // namespace corlinq
