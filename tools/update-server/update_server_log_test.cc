#include <gtest/gtest.h>
#include <json/json.h>

#include <sstream>

#include "tools/update-server/update_server.h"

namespace corlinq {
namespace {

RequestLogRecord Query() {
  RequestLogRecord r;
  r.time = "2026-12-09T23:10:00.123Z";
  r.client = "203.0.113.5";
  r.port = -1;
  r.via = "127.0.0.1:53422";
  r.method = "GET";
  r.target = "/assist/server?reqtype=1&data=[envelope:340]";
  r.status = 404;
  r.bytes = 14;
  r.milliseconds = 0.8125;
  r.bank = "868";
  r.outcome = "unknown-bank";
  r.reason = "unknown \"bank\"";
  return r;
}

TEST(RequestLogTest, TextLinesCarryBankOutcomeAndReason) {
  EXPECT_EQ(FormatLogRecord(Query(), false),
            "2026-12-09T23:10:00.123Z 203.0.113.5 GET /assist/server?reqtype=1&data=[envelope:"
            "340] 404 14 0.812ms bank=868 outcome=unknown-bank via=127.0.0.1:53422 "
            "reason=\"unknown \\\"bank\\\"\"");
  // A connection that never brought a request: no method, no target.
  RequestLogRecord tls;
  tls.time = "T";
  tls.client = "[::1]";
  tls.port = 40000;
  tls.outcome = "tls-failed";
  tls.reason = "TLS handshake failed:\nbad record";
  EXPECT_EQ(FormatLogRecord(tls, false),
            "T [::1]:40000 - - 0 0 0.000ms outcome=tls-failed reason=\"TLS handshake failed: "
            "bad record\"");
  EXPECT_EQ(FormatRequestLogLine("T", "127.0.0.1", 5, "GET", "/a b\"\x01\xe4\xbd\xa0", 200, 3, 1),
            "T 127.0.0.1:5 GET /a%20b%22%01\xe4\xbd\xa0 200 3 1.000ms");
  EXPECT_EQ(FormatRequestLogLine("T", "127.0.0.1", 5, "GET", std::string(300, 'a'), 200, 3, 1),
            "T 127.0.0.1:5 GET " + std::string(256, 'a') + "... 200 3 1.000ms");
}

TEST(RequestLogTest, JsonLinesAreOneObjectEach) {
  RequestLogRecord r = Query();
  r.target = "/release/868/\xe8\xaf\xb4\n\"x\\";
  std::string line = FormatLogRecord(r, true);
  EXPECT_EQ(line.find('\n'), std::string::npos);
  Json::Value v;
  std::istringstream in(line);
  ASSERT_TRUE(Json::parseFromStream(Json::CharReaderBuilder(), in, &v, nullptr)) << line;
  EXPECT_EQ(v["time"].asString(), "2026-12-09T23:10:00.123Z");
  EXPECT_EQ(v["client"].asString(), "203.0.113.5");
  EXPECT_FALSE(v.isMember("port"));
  EXPECT_EQ(v["via"].asString(), "127.0.0.1:53422");
  EXPECT_EQ(v["method"].asString(), "GET");
  EXPECT_EQ(v["target"].asString(), "/release/868/%E8%AF%B4%0A%22x%5C");
  EXPECT_EQ(v["status"].asInt(), 404);
  EXPECT_EQ(v["bytes"].asUInt64(), 14u);
  EXPECT_DOUBLE_EQ(v["ms"].asDouble(), 0.812);
  EXPECT_EQ(v["bank"].asString(), "868");
  EXPECT_EQ(v["outcome"].asString(), "unknown-bank");
  EXPECT_EQ(v["reason"].asString(), "unknown \"bank\"");
}

}  // namespace
}  // namespace corlinq
