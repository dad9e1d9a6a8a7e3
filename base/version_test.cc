// Version texts: reading by position and at dots, atoi pieces, and the comparison order.
#include "base/version.h"

#include <gtest/gtest.h>

#include <string>

namespace corlinq {
namespace {

TEST(ParseVersionTest, ReadsFourParts) {
  struct Case {
    std::string text;
    VersionParts parts;
  };
  const Case cases[] = {
      {"2.1.15.1203", {2, 1, 15, 1203}},
      {"2.1.15.1203.7", {2, 1, 15, 1203}},  // a fourth dot ends the last part
      {"1012345", {1, 0, 12, 345}},          // no dot: by position
      {"1234", {1, 2, 34, 0}},
      {"12345678901", {1, 2, 34, 5678901}},
      {"123499999999999", {1, 2, 34, 2147483647}},  // atoi clamps
      {"1a2b3c", {1, 0, 2, 3}},                 // "1", "a", "2b", "3c"
      {"10.2", {10, 2, 0, 0}},                  // missing parts are 0
      {"1.2", {0, 0, 0, 0}},                    // three characters or fewer
      {"1.2.3", {1, 2, 3, 0}},
      {"10.20.30.40", {10, 20, 30, 40}},
      {" 2. +1.x15.-1", {2, 1, 0, 4294967295u}},  // blanks, sign, no digits, negative
      {"2..15.", {2, 0, 15, 0}},
      {"4294967296.1.1.1", {2147483647, 1, 1, 1}},
      {"-2147483649.0.0.0", {2147483648u, 0, 0, 0}},
      {"123", {0, 0, 0, 0}},  // three characters or fewer: nothing to read
      {"9.9", {0, 0, 0, 0}},
      {"", {0, 0, 0, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    VersionParts parts = {7, 7, 7, 7};
    ParseVersion(c.text, parts);
    EXPECT_EQ(parts, c.parts);
  }
}

TEST(CompareVersionsTest, FirstUnequalPartDecides) {
  struct Case {
    const char* a;
    const char* b;
    int result;
  };
  const Case cases[] = {
      {"2.1.15.1203", "2.1.9.9999", 1},  // 15 > 9; the fourth part is not examined
      {"2.1.15.0", "2.1.15.1", -1},
      {"2.1.15.1", "2.1.15.1", 0},
      {"3.0.0.0", "2.9.9.9", 1},
      {"1.10.0.0", "1.9.0.0", 1},  // numbers, not texts
      {"1012345", "1.0.12.345", 0},
      {"0.0.0.-1", "0.0.0.2147483647", 1},  // unsigned parts: -1 reads as 4294967295
      {"0.0.0.-1", "9.0.0.0", -1},
      {"", "0.0.0.0", 0},
      {"", "0.0.0.1", -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.a) + " vs " + c.b);
    VersionParts a;
    VersionParts b;
    ParseVersion(c.a, a);
    ParseVersion(c.b, b);
    EXPECT_EQ(CompareVersions(a, b), c.result);
    EXPECT_EQ(CompareVersions(b, a), -c.result);
  }
}

}  // namespace
}  // namespace corlinq
