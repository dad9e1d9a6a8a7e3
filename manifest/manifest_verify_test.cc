#include "manifest/manifest_verify.h"

#include <gtest/gtest.h>

#include "manifest/test_signer.h"

namespace corlinq {
namespace {

using testing::SignManifestText;
using testing::WriteTempFile;

const char kUnsigned[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<Digest>\r\n<FileInfo>\r\n"
    "<File Path=\"bin\" FileName=\"a.dll\" Digest=\"2jmj7l5rSw0yVb/vlWAYkK/YBwk=\"/>\r\n"
    "<File Path=\"\" FileName=\"说明.txt\" Digest=\"2jmj7l5rSw0yVb/vlWAYkK/YBwk=\"/>\r\n"
    "</FileInfo>\r\n</Digest>\r\n";

class ManifestVerifyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    privatePem_ = testing::DemoPrivateKeyPem();
    publicPem_ = testing::DemoPublicKeyPem();
    signed_ = SignManifestText(kUnsigned, privatePem_);
    last_ = signed_.rfind('<');
  }
  bool Verify(const std::string& bytes) {
    return VerifyManifestFile(WriteTempFile("Digest.xml", bytes), publicPem_);
  }
  std::string privatePem_, publicPem_, signed_;
  size_t last_ = 0;
};

TEST_F(ManifestVerifyTest, BuiltInKeyIsTheDemoPublicKey) {
  EXPECT_EQ(ManifestPublicKey(), publicPem_);
  EXPECT_TRUE(VerifyManifestFile(WriteTempFile("Digest.xml", signed_), ManifestPublicKey()));
}

TEST_F(ManifestVerifyTest, SignedManifestVerifiesAndChangesBreakIt) {
  EXPECT_TRUE(Verify(signed_));
  const size_t block = last_ - kSignBlockSize;
  struct Case {
    const char* what;
    size_t offset;
  } cases[] = {
      {"first byte of X", 0},
      {"inside X", 60},
      {"last byte of X", block - 1},
      {"block opening", block + 3},
      {"first hex digit", block + kSignOpenSize},
      {"tail closing tag", last_ + 2},
      {"final line break", signed_.size() - 1},
  };
  for (const Case& c : cases) {
    std::string changed = signed_;
    changed[c.offset] = changed[c.offset] == 'A' ? 'B' : 'A';
    EXPECT_FALSE(Verify(changed)) << c.what;
  }
}

TEST_F(ManifestVerifyTest, FreeBytesAndHexCaseDoNotMatter) {
  const size_t block = last_ - kSignBlockSize;
  std::string freeChanged = signed_;
  freeChanged.replace(last_ - kSignFreeBytes, kSignFreeBytes, "xxxxxxxxx");
  EXPECT_TRUE(Verify(freeChanged));
  std::string lower = signed_;
  for (size_t i = block + kSignOpenSize; i < block + kSignOpenSize + kSignHexDigits; ++i) {
    if (lower[i] >= 'A' && lower[i] <= 'F') lower[i] = static_cast<char>(lower[i] - 'A' + 'a');
  }
  EXPECT_TRUE(Verify(lower));
}

TEST_F(ManifestVerifyTest, RejectsMalformedFilesAndOtherSigners) {
  std::string otherPrivate, otherPublic;
  testing::NewKeyPair(otherPrivate, otherPublic);
  std::string withNul = signed_;
  withNul.insert(40, 1, '\0');
  struct Case {
    const char* what;
    std::string bytes;
    std::string key;
  } cases[] = {
      {"unsigned", kUnsigned, publicPem_},
      {"empty file", "", publicPem_},
      {"no <", std::string(400, 'a'), publicPem_},
      {"last < close to the start", "\r\n<Sign>" + std::string(100, '0') + "</Digest>", publicPem_},
      {"last < at 272", std::string(272, 'a') + "</Digest>", publicPem_},
      {"DigestInfo-wrapped signature",
       SignManifestText(kUnsigned, privatePem_, testing::SignStyle::kDigestInfo), publicPem_},
      {"other signer", SignManifestText(kUnsigned, otherPrivate), publicPem_},
      {"wrong key", signed_, otherPublic},
      {"empty key", signed_, ""},
      {"key that is not PEM", signed_, "-----BEGIN RSA PUBLIC KEY-----\nAAAA\n-----END RSA PUBLIC KEY-----"},
      {"zero byte in X", withNul, publicPem_},
      {"signature moved after the root", signed_ + "<x/>", publicPem_},
  };
  for (const Case& c : cases) {
    EXPECT_FALSE(VerifyManifestFile(WriteTempFile("Digest.xml", c.bytes), c.key)) << c.what;
  }
  EXPECT_FALSE(VerifyManifestFile(WriteTempFile("Digest.xml", signed_) + ".missing", publicPem_));
}

TEST_F(ManifestVerifyTest, ExactlyTwoHundredSeventyThreeBytesBeforeTheLastTagIsEnough) {
  // X empty: the block starts the file, the signed content is T alone.
  const std::string bare = SignManifestText("</Digest>\r\n", privatePem_);
  ASSERT_EQ(bare.rfind('<'), kSignBlockSize);
  EXPECT_TRUE(Verify(bare));
}

TEST(HexDecodeLenientTest, DecodesAsTheSignerAndTheLegacyFormatExpect) {
  struct Case {
    std::string digits;
    std::string bytes;
  } cases[] = {
      {"00FF7f", std::string("\x00\xFF\x7F", 3)},
      {"aBcD", "\xAB\xCD"},
      {":;<=>?", "\xAB\xCD\xEF"},  // ":" to "?" count as 10 to 15
      {"@1G1", std::string("\x01\x01", 2)},  // "@" and non-digits count as 0
      {"F", "\xF0"},               // odd count: low half 0
      {"", ""},
      {std::string(256, 'F'), std::string(128, '\xFF')},
      {std::string(257, 'F'), ""},  // too many digits: nothing
  };
  for (const Case& c : cases) EXPECT_EQ(HexDecodeLenient(c.digits), c.bytes) << c.digits;
}

}  // namespace
}  // namespace corlinq
