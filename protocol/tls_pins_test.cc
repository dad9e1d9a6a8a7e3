#include "protocol/tls_pins.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <string>
#include <vector>

namespace corlinq {
namespace {

// A self-signed P-256 certificate and its key pin, as the openssl tool prints it:
//   openssl x509 -pubkey -noout | openssl pkey -pubin -outform der | openssl dgst -sha256 -binary | base64
constexpr const char kCertificateBase64[] =
    "MIIBfTCCASOgAwIBAgIUQ8E7sJuL86wO8lXjIOY1ECQIRuQwCgYIKoZIzj0EAwIw"
    "EzERMA8GA1UEAwwIcGluLXRlc3QwIBcNMjYxMjEwMTAyMTA0WhgPMjEyNjExMTYx"
    "MDIxMDRaMBMxETAPBgNVBAMMCHBpbi10ZXN0MFkwEwYHKoZIzj0CAQYIKoZIzj0D"
    "AQcDQgAEnIhRNllsPCEgUtnfsKpu9VRxHoNZYXLn0C4qyrIvFnadFNX7Vo9FD/FB"
    "SEV9o3+IAsWziAL8hwv8l1dwzV7bTqNTMFEwHQYDVR0OBBYEFL0pjz8JCzo0om3C"
    "QoY1UnPPF4WjMB8GA1UdIwQYMBaAFL0pjz8JCzo0om3CQoY1UnPPF4WjMA8GA1Ud"
    "EwEB/wQFMAMBAf8wCgYIKoZIzj0EAwIDSAAwRQIgM2i7co+JPKmPnYVMI1SXA2E0"
    "pEWBEaoCrx9+HhUw40QCIQDh4G2wU3PW6ATP6pzv6yxHp0tpeBY0pBJLqd4DuxL9"
    "hg==";
constexpr const char kPin[] = "PVNjmhdCWk3WSihfdHhi6muQQdvhu7KdrdkPZUSnJkc=";
constexpr const char kOtherPin[] = "47DEQpj8HBSa+/TImW+5JCeuQeRkm5NMpJWZG3hSuFU=";

std::vector<unsigned char> CertificateDer() {
  const std::string text = kCertificateBase64;
  std::vector<unsigned char> der(text.size());
  const int decoded = EVP_DecodeBlock(der.data(), reinterpret_cast<const unsigned char*>(text.data()),
                                      static_cast<int>(text.size()));
  der.resize(static_cast<size_t>(decoded) - 2);  // the two '=' of padding decode to zero bytes
  return der;
}

TEST(TlsPinsTest, ListsAsTheBuildOptionWritesThem) {
  const std::string pin = kPin, other = kOtherPin;
  struct Case {
    std::string text;
    std::vector<std::string> pins;
  } cases[] = {
      {"", {}},
      {" \n ; ,", {}},
      {pin, {pin}},
      {"sha256//" + pin, {pin}},
      {pin + ";" + other, {pin, other}},
      {" " + pin + " ,\r\n" + other + "\n", {pin, other}},
      {pin + ";" + pin, {pin}},
  };
  for (const Case& c : cases) {
    const auto parsed = ParseTlsPins(c.text);
    ASSERT_TRUE(parsed.has_value()) << c.text;
    EXPECT_EQ(*parsed, c.pins) << c.text;
  }
}

TEST(TlsPinsTest, RefusesAListWithAnyEntryThatIsNoSha256Pin) {
  const std::string pin = kPin;
  const std::string refused[] = {
      pin.substr(0, 43),                        // one character short
      pin + "A",                                // one too many
      pin.substr(0, 43) + "A",                  // no padding
      pin.substr(0, 42) + "l=",                 // padding after bits that are not zero
      pin.substr(0, 10) + "-" + pin.substr(11), // not Base64
      "sha1//" + pin,
      pin + ";" + "x",
  };
  for (const std::string& text : refused) EXPECT_FALSE(ParseTlsPins(text).has_value()) << text;
}

TEST(TlsPinsTest, PinOfTheCertificateKey) {
  const std::vector<unsigned char> der = CertificateDer();
  EXPECT_EQ(CertificateKeyPin(der.data(), der.size()), std::optional<std::string>(kPin));
  EXPECT_TRUE(CertificateMatchesPins(der.data(), der.size(), {kOtherPin, kPin}));
  EXPECT_FALSE(CertificateMatchesPins(der.data(), der.size(), {kOtherPin}));
  EXPECT_FALSE(CertificateMatchesPins(der.data(), der.size(), {}));
}

TEST(TlsPinsTest, BytesThatAreNoCertificateMatchNothing) {
  std::vector<unsigned char> der = CertificateDer();
  std::vector<unsigned char> truncated(der.begin(), der.end() - 1);
  std::vector<unsigned char> trailing = der;
  trailing.push_back(0);
  std::vector<unsigned char> garbage(64, 0x30);
  for (const auto* bytes : {&truncated, &trailing, &garbage}) {
    EXPECT_FALSE(CertificateKeyPin(bytes->data(), bytes->size()).has_value());
    EXPECT_FALSE(CertificateMatchesPins(bytes->data(), bytes->size(), {kPin}));
  }
  EXPECT_FALSE(CertificateKeyPin(nullptr, 0).has_value());
}

}  // namespace
}  // namespace corlinq
