#include "base/win/wide.h"

#include <gtest/gtest.h>

namespace corlinq::win {
namespace {

TEST(Wide, RoundTripsChineseText) {
  const std::string utf8 = "\xE6\x81\x92\xE6\xBE\x8D\xE9\x93\xB6\xE8\xA1\x8C";  // 恒澍银行
  const std::wstring wide = Utf8ToWide(utf8);
  EXPECT_EQ(wide, std::wstring(L"\u6052\u6f8d\u94f6\u884c"));
  EXPECT_EQ(WideToUtf8(wide), utf8);
}

TEST(Wide, InvalidInputGivesEmpty) {
  EXPECT_EQ(Utf8ToWide("\xB7\xA2"), L"");
  EXPECT_EQ(WideToUtf8(std::wstring(1, static_cast<wchar_t>(0xD800))), "");
  EXPECT_EQ(Utf8ToWide(""), L"");
}

}  // namespace
}  // namespace corlinq::win
