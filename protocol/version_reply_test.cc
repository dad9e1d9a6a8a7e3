// Version query text and reply reading: each reply is sealed as the server would seal it.
#include "protocol/version_reply.h"

#include <gtest/gtest.h>

#include <string>

namespace corlinq {
namespace {

std::string SealedReply(const std::string& json) {
  std::string body;
  EXPECT_TRUE(SealEnvelopeText(json, body));
  return body;
}

TEST(VersionQueryTextTest, IsTheBankIdInLowercaseHex) {
  EXPECT_EQ(VersionQueryText(0x867), "867");
  EXPECT_EQ(VersionQueryText(0xABC), "abc");
  EXPECT_EQ(VersionQueryText(0x5), "5");
  EXPECT_EQ(VersionQueryText(0), "0");
}

TEST(VersionReplyTest, ReadsTheThreeValuesAsTexts) {
  struct Case {
    const char* json;
    const char* v;
    const char* url;
    const char* update;
  };
  const Case cases[] = {
      {R"({"v":"2.1.15.1203","url":"https://127.0.0.1:8443/dl","update":"1"})", "2.1.15.1203",
       "https://127.0.0.1:8443/dl", "1"},
      {R"({"v":"2.0.0.1","update":"0"})", "2.0.0.1", "", "0"},
      {R"({"v":"0.0.0.0","url":null,"update":"2"})", "0.0.0.0", "", "2"},
      {R"({"v":"2147483647.0.4294.1","url":true,"update":"0"})", "2147483647.0.4294.1", "true", "0"},
      // Numbers keep the text the server wrote.
      {R"({"v":"2.1.0.0","url":"u","update":2})", "2.1.0.0", "u", "2"},
      // Other keys are ignored, whatever they hold; comments are allowed.
      {R"(/* reply */ {"v":"1.0.0.1","extra":[1,{"a":2}], "url":"x", "update":"0" // end
       })", "1.0.0.1", "x", "0"},
      {"{\"v\":\"1.0.0.0\",\"url\":\"\xe7\x89\x88\",\"update\":\"1\"}", "1.0.0.0", "\xe7\x89\x88", "1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.json);
    VersionReply reply;
    ASSERT_TRUE(ParseVersionReply(SealedReply(c.json), reply));
    EXPECT_EQ(reply.v, c.v);
    EXPECT_EQ(reply.url, c.url);
    EXPECT_EQ(reply.update, c.update);
  }
}

TEST(VersionReplyTest, EndsTheQueryOnRepliesThatAreNotAFlatObject) {
  const std::string nested = R"({"update":"0","v":)" + std::string(5000, '[') + std::string(5000, ']') + "}";
  const std::string bad[] = {
      "not json", "", R"({"v":"1")", "[1,2]", R"("2.1.15.1203")", "3", "null",
      R"({"v":["2.1.0.0"],"update":"0"})", R"({"v":"1.0.0.1","url":{},"update":"0"})",
      R"({"v":"1.0.0.1","update":[0]})", nested,
  };
  for (const std::string& json : bad) {
    SCOPED_TRACE(json.substr(0, 40));
    VersionReply reply{"before", "before", "before"};
    const std::string body = json.empty() ? std::string("") : SealedReply(json);
    EXPECT_FALSE(ParseVersionReply(body, reply));
    EXPECT_EQ(reply.v, "before");
    EXPECT_EQ(reply.url, "before");
    EXPECT_EQ(reply.update, "before");
  }
}

// The version reaches the install record and the flag can end the customer's browser: only the
// forms the launch decision reads are taken, anything else is a reply that does not open.
TEST(VersionReplyTest, RefusesVersionsAndFlagsTheLaunchCannotUse) {
  const std::string huge(40 * 1024, '9');
  const std::string versions[] = {
      R"("")", R"("2.1")", R"("1.2.3")", R"("1.2.3.4.5")", R"("1.2.3.x")", R"("1.2.3.4\r\n")",
      R"("1.2.3.4\n")", R"(" 1.2.3.4")", R"("1.2.3.4 ")", R"("1.2.3.-4")", R"("+1.2.3.4")",
      R"("1..2.3")", R"(".1.2.3")", R"("1.2.3.")", R"("1.2.3.2147483648")", R"("12345678901.1.1.1")",
      R"("1,2,3,4")", "\"\xef\xbc\x91.2.3.4\"", "\"" + huge + "\"", "\"1.2.3." + huge + "\"",
      R"(1.2)", R"(1e3)", "null", "true"};
  for (const std::string& v : versions) {
    SCOPED_TRACE(v.substr(0, 40));
    VersionReply reply{"before", "before", "before"};
    EXPECT_FALSE(ParseVersionReply(SealedReply(R"({"v":)" + v + R"(,"url":"u","update":"1"})"), reply));
    EXPECT_EQ(reply.v, "before");
  }
  const std::string flags[] = {R"("")", R"("2abc")", R"("3")", R"("-1")", R"("02")", R"(" 1")",
                               R"("1 ")", R"("１")", "true", "null", "1.0", "-0", "10"};
  for (const std::string& update : flags) {
    SCOPED_TRACE(update);
    VersionReply reply{"before", "before", "before"};
    EXPECT_FALSE(ParseVersionReply(SealedReply(R"({"v":"1.0.0.1","url":"u","update":)" + update + "}"), reply));
    EXPECT_EQ(reply.update, "before");
  }
  VersionReply reply;
  EXPECT_FALSE(ParseVersionReply(SealedReply(R"({"v":"1.0.0.1","url":"u"})"), reply));  // no flag
}

TEST(VersionReplyTest, BodiesAsTheyComeOffTheWire) {
  const std::string body = SealedReply(R"({"v":"3.0.0.0","url":"u","update":"0"})");
  std::string lower = body;
  for (char& ch : lower) ch = static_cast<char>(ch >= 'A' && ch <= 'F' ? ch - 'A' + 'a' : ch);
  struct Case {
    std::string body;
    bool opens;
  };
  const Case cases[] = {
      {body, true},
      {body + "\n", true},        // odd length: the last character is dropped
      {lower, true},
      {body.substr(0, body.size() - 1), false},  // odd: loses one more digit
      {"<html><body>404 Not Found</body></html>", false},
      {"", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.body.substr(0, 40));
    VersionReply reply;
    EXPECT_EQ(ParseVersionReply(c.body, reply), c.opens);
    if (c.opens) {
      EXPECT_EQ(reply.v, "3.0.0.0");
    }
  }
  VersionReply reply;
  EXPECT_TRUE(ParseVersionReply(BuiltinEnvelopeKey(), body, reply));
}

}  // namespace
}  // namespace corlinq
