#include "base/strings.h"

#include <gtest/gtest.h>

namespace corlinq {
namespace {

TEST(StrPrintf, FormatsLikePrintf) {
  EXPECT_EQ(StrPrintf("_%03x.exe", 0x867), "_867.exe");
  EXPECT_EQ(StrPrintf("_%03x.exe", 0x42), "_042.exe");
  EXPECT_EQ(StrPrintf("%s", ""), "");
  const std::string longText(5000, 'x');
  EXPECT_EQ(StrPrintf("%s!", longText.c_str()), longText + "!");
}

TEST(IsValidUtf8, AcceptsWellFormedAndRejectsTheRest) {
  struct Case {
    const char* bytes;
    bool valid;
  } cases[] = {
      {"", true},
      {"plain ascii", true},
      {"\xE6\x81\x92\xE6\xBE\x8D\xE9\x93\xB6\xE8\xA1\x8C", true},  // 恒澍银行
      {"\xF0\x9F\x98\x80", true},                                  // U+1F600
      {"\xC0\xAF", false},                                         // overlong '/'
      {"\xE0\x80\xAF", false},                                     // overlong, 3 bytes
      {"\xED\xA0\x80", false},                                     // surrogate
      {"\xF4\x90\x80\x80", false},                                 // past U+10FFFF
      {"\xE6\x81", false},                                         // cut short
      {"\xB7\xA2", false},                                         // GBK bytes, not UTF-8
      {"a\x80", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(IsValidUtf8(c.bytes), c.valid) << c.bytes;
  }
}

TEST(ToLowerAscii, LeavesMultibyteTextAlone) {
  EXPECT_EQ(ToLowerAscii("ABC.DLL"), "abc.dll");
  EXPECT_EQ(ToLowerAscii("\xE6\x81\x92X.Dll"), "\xE6\x81\x92x.dll");
}

}  // namespace
}  // namespace corlinq
