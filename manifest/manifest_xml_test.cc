#include "manifest/manifest_xml.h"

#include <gtest/gtest.h>

#include "manifest/test_signer.h"

namespace corlinq {
namespace {

using testing::WriteTempFile;

const char kManifest[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n"
    "<Digest>\r\n"
    "<FileInfo>\r\n"
    "<File Path=\"bin\" FileName=\"a.dll\" Digest=\"AAAAAAAAAAAAAAAAAAAAAAAAAAA=\"/>\r\n"
    "<!-- a comment among the entries -->\r\n"
    "text between entries\r\n"
    "<File Path=\"\" FileName=\"说明.txt\"/>\r\n"
    "<File Path=\"skin\\867\" FileName=\"c.png\" Digest=\"x\"><File FileName=\"nested\"/></File>\r\n"
    "</FileInfo>\r\n"
    "</Digest>\r\n";

TEST(ManifestXmlTest, CountsElementChildrenOnly) {
  ManifestXml doc;
  ASSERT_TRUE(doc.Load(WriteTempFile("m.xml", kManifest)));
  EXPECT_EQ(doc.CountChildElements("FileInfo", 1), 3);
  EXPECT_EQ(doc.CountChildElements("FileInfo", 2), 0);
  EXPECT_EQ(doc.CountChildElements("Digest", 1), 1);
  EXPECT_EQ(doc.CountChildElements("File", 3), 1);
  EXPECT_EQ(doc.CountChildElements("Missing", 1), 0);
  EXPECT_EQ(doc.CountChildElements("FileInfo", 0), 0);
}

TEST(ManifestXmlTest, ReadsAttributesInDocumentOrder) {
  ManifestXml doc;
  ASSERT_TRUE(doc.Load(WriteTempFile("m.xml", kManifest)));
  struct Case {
    const char* element;
    const char* attribute;
    int occurrence;
    const char* expected;
  } cases[] = {
      {"File", "FileName", 1, "a.dll"},
      {"File", "Path", 1, "bin"},
      {"File", "Digest", 1, "AAAAAAAAAAAAAAAAAAAAAAAAAAA="},
      {"File", "FileName", 2, "说明.txt"},   // UTF-8 in, the same UTF-8 out
      {"File", "Digest", 2, ""},             // missing attribute
      {"File", "Path", 3, "skin\\867"},
      {"File", "FileName", 4, "nested"},     // depth-first: the child of the third File
      {"File", "FileName", 5, ""},           // no fifth File
      {"file", "FileName", 1, ""},           // names are case-sensitive
      {"File", "filename", 1, ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(doc.GetAttribute(c.element, c.attribute, c.occurrence), c.expected)
        << c.element << "/" << c.attribute << "#" << c.occurrence;
  }
}

TEST(ManifestXmlTest, SearchesLaterTopLevelElementsAfterTheRoot) {
  ManifestXml doc;
  ASSERT_TRUE(doc.Parse("<A><File n=\"1\"><File n=\"2\"/></File></A><File n=\"3\"/>"));
  EXPECT_EQ(doc.GetAttribute("File", "n", 1), "1");
  EXPECT_EQ(doc.GetAttribute("File", "n", 2), "2");
  EXPECT_EQ(doc.GetAttribute("File", "n", 3), "3");
}

TEST(ManifestXmlTest, AttributeThatIsNotUtf8ReadsEmpty) {
  ManifestXml doc;
  ASSERT_TRUE(doc.Parse("<A><File FileName=\"\xB0\xA1.dll\"/></A>"));  // GBK bytes, not UTF-8
  EXPECT_EQ(doc.GetAttribute("File", "FileName", 1), "");
  EXPECT_EQ(doc.FindAttribute("File", "FileName", 1), std::string("\xB0\xA1.dll"));
}

TEST(ManifestXmlTest, MissingFileKeepsTheDocumentAndBrokenFileEmptiesIt) {
  ManifestXml doc;
  ASSERT_TRUE(doc.Parse(kManifest));
  EXPECT_FALSE(doc.Load(WriteTempFile("dir/m.xml", "x") + ".missing"));
  EXPECT_EQ(doc.CountChildElements("FileInfo", 1), 3);
  EXPECT_FALSE(doc.Load(WriteTempFile("broken.xml", "<Digest><FileInfo><File FileName=\"a\"/>")));
  EXPECT_EQ(doc.CountChildElements("FileInfo", 1), 0);
  EXPECT_EQ(doc.GetAttribute("File", "FileName", 1), "");
}

TEST(ManifestXmlTest, LoadsFromAFolderWithAChineseName) {
  ManifestXml doc;
  ASSERT_TRUE(doc.Load(WriteTempFile("网银助手/清单.xml", kManifest)));
  EXPECT_EQ(doc.CountChildElements("FileInfo", 1), 3);
}

}  // namespace
}  // namespace corlinq
