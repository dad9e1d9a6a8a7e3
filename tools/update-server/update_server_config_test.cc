#include "tools/update-server/update_server_config.h"

#include <gtest/gtest.h>

namespace corlinq {
namespace {

constexpr const char kFull[] = R"({
  // comments are allowed
  "listeners": [
    {"address": "127.0.0.1", "port": 8443, "tls": true},
    {"address": "127.0.0.2", "port": 0}
  ],
  "certificate": "certs/server.crt",
  "privateKey": "/etc/ssl/server.key",
  "envelopeKey": "../keys/envelope.pem",
  "threads": 4,
  "banks": {
    "867": {"version": "1.0.0.2", "update": "1", "url": "https://localhost:8443/release/867/",
            "release": "release-867"},
    "01A2B": {"version": "2.0.0.0", "update": 0, "release": "/srv/r", "prefix": "/files/x/"}
  }
})";

TEST(UpdateServerConfigTest, ReadsEveryFieldAndResolvesPathsAgainstTheConfigFolder) {
  UpdateServerConfig config;
  std::string error;
  ASSERT_TRUE(ParseUpdateServerConfig(kFull, "/opt/conf", config, error)) << error;
  ASSERT_EQ(config.listeners.size(), 2u);
  EXPECT_EQ(config.listeners[0].address, "127.0.0.1");
  EXPECT_EQ(config.listeners[0].port, 8443);
  EXPECT_TRUE(config.listeners[0].tls);
  EXPECT_FALSE(config.listeners[1].tls);
  EXPECT_EQ(config.certificateFile, "/opt/conf/certs/server.crt");
  EXPECT_EQ(config.privateKeyFile, "/etc/ssl/server.key");
  EXPECT_EQ(config.envelopeKeyFile, "/opt/keys/envelope.pem");
  EXPECT_EQ(config.requestPath, "/assist/server?reqtype=1&data=");
  EXPECT_EQ(config.threads, 4);
  ASSERT_EQ(config.banks.size(), 2u);
  const BankRelease& b867 = config.banks[0].bankId == 0x867 ? config.banks[0] : config.banks[1];
  const BankRelease& b1a2b = config.banks[0].bankId == 0x867 ? config.banks[1] : config.banks[0];
  EXPECT_EQ(b867.bankIdText, "867");
  EXPECT_EQ(b867.version, "1.0.0.2");
  EXPECT_EQ(b867.update, "1");
  EXPECT_EQ(b867.url, "https://localhost:8443/release/867");
  EXPECT_EQ(b867.releaseDir, "/opt/conf/release-867");
  EXPECT_EQ(b867.prefix, "/release/867");
  EXPECT_EQ(b1a2b.bankId, 0x1a2bu);
  EXPECT_EQ(b1a2b.bankIdText, "1a2b");
  EXPECT_EQ(b1a2b.update, "0");
  EXPECT_EQ(b1a2b.url, "");
  EXPECT_EQ(b1a2b.prefix, "/files/x");
}

TEST(UpdateServerConfigTest, RejectsBrokenConfigurationsWithAReason) {
  const std::string listeners = R"("listeners": [{"address": "127.0.0.1", "port": 8080}],)";
  const std::string key = R"("envelopeKey": "k.pem",)";
  const std::string bank = R"("banks": {"867": {"version": "1", "release": "r"}})";
  struct Case {
    const char* name;
    std::string json;
    const char* reasonPart;
  };
  const Case cases[] = {
      {"not json", "{", "JSON"},
      {"no listeners", "{" + key + bank + "}", "listeners"},
      {"host name as address",
       R"({"listeners": [{"address": "localhost", "port": 1}],)" + key + bank + "}", "IPv4"},
      {"port out of range",
       R"({"listeners": [{"address": "127.0.0.1", "port": 70000}],)" + key + bank + "}", "port"},
      {"tls without certificate",
       R"({"listeners": [{"address": "127.0.0.1", "port": 1, "tls": true}],)" + key + bank + "}",
       "certificate"},
      {"no envelope key", "{" + listeners + bank + "}", "envelopeKey"},
      {"no banks", "{" + listeners + key + R"("banks": {}})", "banks"},
      {"bank id not hex",
       "{" + listeners + key + R"("banks": {"86z": {"version": "1", "release": "r"}}})",
       "86z"},
      {"bank id given twice",
       "{" + listeners + key +
           R"("banks": {"867": {"version": "1", "release": "r"},
                        "0867": {"version": "1", "release": "s"}}})",
       "twice"},
      {"bank without version", "{" + listeners + key + R"("banks": {"867": {"release": "r"}}})",
       "version"},
      {"prefix with dot-dot",
       "{" + listeners + key +
           R"("banks": {"867": {"version": "1", "release": "r", "prefix": "/a/../b"}}})",
       "prefix"},
      {"shared prefix",
       "{" + listeners + key +
           R"("banks": {"867": {"version": "1", "release": "r", "prefix": "/r"},
                        "868": {"version": "1", "release": "s", "prefix": "/r/"}}})",
       "share"},
      {"request path without slash", "{" + listeners + key + R"("requestPath": "x?d=",)" + bank + "}",
       "requestPath"},
  };
  for (const Case& c : cases) {
    UpdateServerConfig config;
    std::string error;
    EXPECT_FALSE(ParseUpdateServerConfig(c.json, "/base", config, error)) << c.name;
    EXPECT_NE(error.find(c.reasonPart), std::string::npos) << c.name << ": " << error;
  }
}

TEST(UpdateServerConfigTest, BankIdTextIsOneToEightHexDigits) {
  const struct {
    const char* text;
    bool ok;
    uint32_t value;
  } cases[] = {{"867", true, 0x867}, {"1A2b", true, 0x1a2b}, {"ffffffff", true, 0xffffffffu},
               {"", false, 0},       {"1ffffffff", false, 0}, {"86 7", false, 0},
               {"-867", false, 0},   {"0x867", false, 0}};
  for (const auto& c : cases) {
    uint32_t value = 0;
    EXPECT_EQ(ParseBankIdText(c.text, value), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(value, c.value) << c.text;
    }
  }
}

}  // namespace
}  // namespace corlinq
