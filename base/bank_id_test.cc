#include "base/bank_id.h"

#include <gtest/gtest.h>

namespace corlinq {
namespace {

TEST(BankIdTest, OneSpellingWithOrWithout0xInAnyCase) {
  struct Case {
    const char* text;
    int id;  // -1: refused
  } cases[] = {
      {"5a5", 0x5a5}, {"0x5a5", 0x5a5}, {"0X5A5", 0x5a5}, {"05A5", 0x5a5}, {"42", 0x42},
      {"0x042", 0x42}, {"ffffff", 0xffffff}, {"0", 0},
      {"", -1}, {"0x", -1}, {"0x0x5a5", -1}, {"5a5g", -1}, {"-5a5", -1}, {" 5a5", -1},
      {"5a5 ", -1}, {"1000000", -1}, {"ffffffffffffffffff", -1}, {"+1", -1},
  };
  for (const Case& c : cases) {
    const std::optional<int> got = ParseBankId(c.text);
    if (c.id < 0) {
      EXPECT_FALSE(got.has_value()) << c.text;
    } else {
      EXPECT_EQ(got.value_or(-1), c.id) << c.text;
    }
  }
}

TEST(BankIdTest, NamesDifferBelow0x100) {
  EXPECT_EQ(BankIdHex(0x42), "42");
  EXPECT_EQ(BankIdHex3(0x42), "042");
  EXPECT_EQ(BankIdHex(0x5a5), "5a5");
  EXPECT_EQ(BankIdHex3(0x5a5), "5a5");
  EXPECT_EQ(BankIdHex3(0x1a2b), "1a2b");
}

}  // namespace
}  // namespace corlinq
