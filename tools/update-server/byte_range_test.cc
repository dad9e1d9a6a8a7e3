#include "tools/update-server/byte_range.h"

#include <gtest/gtest.h>

namespace corlinq {
namespace {

TEST(ByteRangeTest, OneRangeIsClippedToTheFileAndSeveralGiveTheWholeFile) {
  using K = ByteRangeAnswer::Kind;
  const struct {
    const char* header;
    uint64_t size;
    K kind;
    uint64_t first, length;
  } cases[] = {
      {"bytes=0-99", 1000, K::kPart, 0, 100},
      {"bytes=0-0", 1000, K::kPart, 0, 1},
      {"bytes=0-3", 3, K::kPart, 0, 3},          // past the end: clipped, not announced as 4
      {"bytes=2-2", 3, K::kPart, 2, 1},
      {"bytes=1-", 3, K::kPart, 1, 2},
      {"bytes=-2", 3, K::kPart, 1, 2},
      {"bytes=-5", 3, K::kPart, 0, 3},
      {"bytes= 5 - 9 ", 1000, K::kPart, 5, 5},
      {"Bytes=5-9", 1000, K::kPart, 5, 5},
      {"bytes=0-99999999999999999999999", 10, K::kPart, 0, 10},
      {"bytes=999999999-", 1000, K::kUnsatisfiable, 0, 0},
      {"bytes=99999999999999999999999-", 1000, K::kUnsatisfiable, 0, 0},
      {"bytes=3-", 3, K::kUnsatisfiable, 0, 0},
      {"bytes=3-5", 3, K::kUnsatisfiable, 0, 0},
      {"bytes=-0", 3, K::kUnsatisfiable, 0, 0},
      {"bytes=0-", 0, K::kUnsatisfiable, 0, 0},
      {"bytes=-1", 0, K::kUnsatisfiable, 0, 0},
      {"bytes=0-1,5-6", 1000, K::kWhole, 0, 0},
      {"bytes=0-1, 999999-", 1000, K::kWhole, 0, 0},
      {"bytes=5-4", 1000, K::kWhole, 0, 0},
      {"bytes=", 1000, K::kWhole, 0, 0},
      {"bytes=-", 1000, K::kWhole, 0, 0},
      {"bytes=a-b", 1000, K::kWhole, 0, 0},
      {"bytes=1-2x", 1000, K::kWhole, 0, 0},
      {"items=0-5", 1000, K::kWhole, 0, 0},
      {"", 1000, K::kWhole, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.header) + " of " + std::to_string(c.size));
    ByteRangeAnswer a = AnswerByteRange(c.header, c.size);
    EXPECT_EQ(a.kind, c.kind);
    if (c.kind == K::kPart) {
      EXPECT_EQ(a.first, c.first);
      EXPECT_EQ(a.length, c.length);
    }
  }
}

}  // namespace
}  // namespace corlinq
