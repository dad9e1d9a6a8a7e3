// The release statement: its place under the signature, its form, and the digest that binds the
// two manifests of one release.
#include "manifest/release_statement.h"

#include <gtest/gtest.h>

#include "manifest/manifest_verify.h"
#include "manifest/test_signer.h"

namespace corlinq {
namespace {

const std::vector<ManifestEntry> kEntries = {
    {"", "WebUI_867.exe", "AAAAAAAAAAAAAAAAAAAAAAAAAAA="},
    {"Data", "skin.dat", "BBBBBBBBBBBBBBBBBBBBBBBBBBB="},
};

std::string ManifestWith(const std::string& releaseElement) {
  std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<Digest>\r\n<FileInfo>\r\n";
  for (const ManifestEntry& e : kEntries) {
    xml += "<File Path=\"" + e.path + "\" FileName=\"" + e.fileName + "\" Digest=\"" + e.digest + "\"/>\r\n";
  }
  xml += "</FileInfo>\r\n" + releaseElement + "</Digest>\r\n";
  return xml;
}

ReleaseStatement Sample() {
  ReleaseStatement s;
  s.version = "2.0.0.1";
  s.expiresUnix = 1796083200;  // 2026-12-01T00:00:00Z
  s.manifest = "Digest.xml";
  s.companion = "Digest_867.xml";
  s.companionList = EntryListDigest(kEntries);
  return s;
}

// A signed manifest carrying the statement still verifies, today's entry reader sees the same
// entries, and the statement reads back as written.
TEST(ReleaseStatement, SignedStatementReadsBackAndLeavesTheEntriesAlone) {
  const std::string text =
      testing::SignManifestText(ManifestWith(FormatReleaseElement(Sample()) + "\r\n"), testing::DemoPrivateKeyPem());
  ASSERT_TRUE(VerifyManifestBytes(text, testing::DemoPublicKeyPem()));
  // The statement lies in the signed part: changing its version breaks the signature.
  std::string altered = text;
  altered.replace(altered.find("2.0.0.1"), 7, "9.0.0.1");
  EXPECT_FALSE(VerifyManifestBytes(altered, testing::DemoPublicKeyPem()));

  ManifestXml doc;
  ASSERT_TRUE(doc.Parse(text));
  std::vector<ManifestEntry> entries;
  std::string error;
  ASSERT_TRUE(ReadManifestEntries(doc, entries, error)) << error;
  ASSERT_EQ(entries.size(), kEntries.size());
  EXPECT_EQ(entries[1].fileName, "skin.dat");
  ReleaseStatement read;
  ASSERT_EQ(ReadReleaseStatement(doc, read), StatementRead::kValid);
  EXPECT_EQ(read.version, "2.0.0.1");
  EXPECT_EQ(read.expiresUnix, Sample().expiresUnix);
  EXPECT_EQ(read.manifest, "Digest.xml");
  EXPECT_EQ(read.companion, "Digest_867.xml");
  EXPECT_EQ(read.companionList, EntryListDigest(kEntries));
}

TEST(ReleaseStatement, ElementsThatAreAbsentOrNotInTheirForm) {
  const std::string list = EntryListDigest(kEntries);
  const std::string tail = " Manifest=\"Digest.xml\" Companion=\"Digest_867.xml\" CompanionList=\"" + list + "\"/>";
  const struct {
    const char* name;
    std::string element;
    StatementRead expected;
  } cases[] = {
      {"none", "", StatementRead::kAbsent},
      {"no expiry", "<Release Version=\"1.2\"" + tail, StatementRead::kValid},
      {"unknown attribute ignored", "<Release Version=\"1\" Channel=\"beta\"" + tail, StatementRead::kValid},
      {"two statements", "<Release Version=\"1\"" + tail + "<Release Version=\"2\"" + tail, StatementRead::kMalformed},
      {"no version", "<Release" + tail, StatementRead::kMalformed},
      {"version with letters", "<Release Version=\"2.0.x\"" + tail, StatementRead::kMalformed},
      {"five parts", "<Release Version=\"1.2.3.4.5\"" + tail, StatementRead::kMalformed},
      {"empty part", "<Release Version=\"1..2\"" + tail, StatementRead::kMalformed},
      {"part past 32 bits", "<Release Version=\"4294967296\"" + tail, StatementRead::kMalformed},
      {"expiry not UTC", "<Release Version=\"1\" Expires=\"2027-01-01T00:00:00+08:00\"" + tail,
       StatementRead::kMalformed},
      {"expiry on no day", "<Release Version=\"1\" Expires=\"2027-02-29T00:00:00Z\"" + tail,
       StatementRead::kMalformed},
      {"no companion", "<Release Version=\"1\" Manifest=\"Digest.xml\" CompanionList=\"" + list + "\"/>",
       StatementRead::kMalformed},
      {"companion leaves the folder",
       "<Release Version=\"1\" Manifest=\"Digest.xml\" Companion=\"..\" CompanionList=\"" + list + "\"/>",
       StatementRead::kMalformed},
      {"list digest of SHA-1 length",
       "<Release Version=\"1\" Manifest=\"Digest.xml\" Companion=\"Digest_867.xml\" "
       "CompanionList=\"AAAAAAAAAAAAAAAAAAAAAAAAAAA=\"/>",
       StatementRead::kMalformed},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ManifestXml doc;
    ASSERT_TRUE(doc.Parse(ManifestWith(c.element)));
    ReleaseStatement read;
    EXPECT_EQ(ReadReleaseStatement(doc, read), c.expected);
  }
}

TEST(ReleaseStatement, UtcTimes) {
  const struct {
    const char* text;
    std::optional<int64_t> seconds;
  } cases[] = {
      {"1970-01-01T00:00:00Z", 0},
      {"2000-02-29T12:34:56Z", 951827696},
      {"2026-12-01T00:00:00Z", 1796083200},
      {"2038-01-19T03:14:08Z", 2147483648},
      {"2001-02-29T00:00:00Z", std::nullopt},
      {"2026-12-01T24:00:00Z", std::nullopt},
      {"2026-12-01 00:00:00Z", std::nullopt},
      {"2026-12-01T00:00:00", std::nullopt},
      {"1969-12-31T23:59:59Z", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(ParseUtcTime(c.text), c.seconds);
    if (c.seconds) {
      EXPECT_EQ(FormatUtcTime(*c.seconds), c.text);
    }
  }
}

// The list digest is over every field of every entry in order; the value is fixed, because the
// bank's tool and the downloader must compute the same one.
TEST(ReleaseStatement, EntryListDigestCoversEveryFieldInOrder) {
  EXPECT_EQ(EntryListDigest(kEntries), "1Z6LoDHnGAdaAGkNFrUglyQatuJwP/JKegR9je0o/wE=");
  EXPECT_EQ(EntryListDigest({}), "47DEQpj8HBSa+/TImW+5JCeuQeRkm5NMpJWZG3hSuFU=");
  const std::string base = EntryListDigest(kEntries);
  std::vector<std::vector<ManifestEntry>> changed(4, kEntries);
  changed[0][1].path = "Date";
  changed[1][1].fileName = "skin.dat2";
  changed[2][1].digest = "CBBBBBBBBBBBBBBBBBBBBBBBBBB=";
  changed[3] = {kEntries[1], kEntries[0]};
  for (size_t i = 0; i < changed.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_NE(EntryListDigest(changed[i]), base);
  }
  // Field boundaries count: moving text from the path into the name is another list.
  EXPECT_NE(EntryListDigest({{"a", "b", "c"}}), EntryListDigest({{"", "a\nb", "c"}}));
}

}  // namespace
}  // namespace corlinq
