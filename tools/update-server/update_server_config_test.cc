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
  EXPECT_EQ(config.envelopeKeyFiles, std::vector<std::string>{"/opt/keys/envelope.pem"});
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
      {"address with a blank",
       R"({"listeners": [{"address": "local host", "port": 1}],)" + key + bank + "}", "address"},
      {"trailing comma", "{" + listeners + key + R"("banks": {"867": {"version": "1", "release": "r",}}})",
       "JSON"},
      {"trailing comma in a list",
       R"({"listeners": [{"address": "127.0.0.1", "port": 1},],)" + key + bank + "}", "JSON"},
      {"text after the object", "{" + listeners + key + bank + "} {}", "JSON"},
      {"unknown top-level key", "{" + listeners + key + R"("thread": 4,)" + bank + "}", "thread"},
      {"unknown listener key",
       R"({"listeners": [{"address": "127.0.0.1", "port": 1, "ssl": true}],)" + key + bank + "}",
       "ssl"},
      {"unknown bank key",
       "{" + listeners + key + R"("banks": {"867": {"version": "1", "release": "r", "updat": 1}}})",
       "updat"},
      {"update flag 3",
       "{" + listeners + key + R"("banks": {"867": {"version": "1", "release": "r", "update": 3}}})",
       "update"},
      {"update flag 2abc",
       "{" + listeners + key +
           R"("banks": {"867": {"version": "1", "release": "r", "update": "2abc"}}})",
       "update"},
      {"update flag true",
       "{" + listeners + key +
           R"("banks": {"867": {"version": "1", "release": "r", "update": true}}})",
       "update"},
      {"version banana",
       "{" + listeners + key + R"("banks": {"867": {"version": "banana", "release": "r"}}})",
       "banana"},
      {"version with an empty part",
       "{" + listeners + key + R"("banks": {"867": {"version": "1..2", "release": "r"}}})",
       "version"},
      {"version of five parts",
       "{" + listeners + key + R"("banks": {"867": {"version": "1.2.3.4.5", "release": "r"}}})",
       "version"},
      {"version part over 32 bits",
       "{" + listeners + key + R"("banks": {"867": {"version": "1.4294967296", "release": "r"}}})",
       "version"},
      {"version with a line break",
       "{" + listeners + key + R"("banks": {"867": {"version": "1.0
", "release": "r"}}})",
       "version"},
      {"log format unknown", "{" + listeners + key + R"("log": "xml",)" + bank + "}", "log"},
      {"proxy by name", "{" + listeners + key + R"("trustedProxies": ["nginx"],)" + bank + "}",
       "nginx"},
      {"key list with a number", "{" + listeners + R"("envelopeKey": ["a.pem", 3],)" + bank + "}",
       "envelopeKey"},
      {"threads out of range", "{" + listeners + key + R"("threads": 1000,)" + bank + "}",
       "threads"},
      {"header timeout zero", "{" + listeners + key + R"("headerTimeout": 0,)" + bank + "}",
       "headerTimeout"},
      {"bank id 0x alone", "{" + listeners + key + R"("banks": {"0x": {"version": "1", "release": "r"}}})",
       "0x"},
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
      {"release check that is not a truth value",
       "{" + listeners + key + R"("checkReleases": "yes", "releaseKey": "p.pem",)" + bank + "}",
       "\"checkReleases\" must be true or false"},
      {"release check with no key to check against",
       "{" + listeners + key + R"("checkReleases": true,)" + bank + "}", "needs a \"releaseKey\""},
      {"release key that is not a file name",
       "{" + listeners + key + R"("releaseKey": ["p.pem"],)" + bank + "}", "releaseKey"},
  };
  for (const Case& c : cases) {
    UpdateServerConfig config;
    std::string error;
    EXPECT_FALSE(ParseUpdateServerConfig(c.json, "/base", config, error)) << c.name;
    EXPECT_NE(error.find(c.reasonPart), std::string::npos) << c.name << ": " << error;
  }
}

TEST(UpdateServerConfigTest, ReadsOperatorsSpellingsKeyListsProxiesAndAddresses) {
  const char* text = R"({
    "listeners": [{"address": "::1", "port": 1}, {"address": "[::1]", "port": 2},
                  {"address": "localhost", "port": 3}],
    "envelopeKey": ["a.pem", "/keys/b.pem"],
    "trustedProxies": ["127.0.0.1", "::1"],
    "log": "json", "threads": 0, "headerTimeout": 5, "idleTimeout": 7,
    "maxConnectionsPerClient": 9, "maxConnections": 11,
    "banks": {
      "0x5A5": {"version": "3.0.0.1", "update": 2, "release": "r1", "envelopeKey": "own.pem"},
      "0XaBc": {"version": "1", "update": "1", "release": "r2"},
      "DEF": {"version": "4294967295.0.0.0", "release": "r3"}
    }
  })";
  UpdateServerConfig config;
  std::string error;
  ASSERT_TRUE(ParseUpdateServerConfig(text, "/c", config, error)) << error;
  ASSERT_EQ(config.listeners.size(), 3u);
  EXPECT_EQ(config.listeners[0].address, "::1");
  EXPECT_EQ(config.listeners[1].address, "::1");
  EXPECT_EQ(config.listeners[2].address, "localhost");
  EXPECT_EQ(config.envelopeKeyFiles, (std::vector<std::string>{"/c/a.pem", "/keys/b.pem"}));
  EXPECT_EQ(config.trustedProxies, (std::vector<std::string>{"127.0.0.1", "::1"}));
  EXPECT_TRUE(config.jsonLog);
  EXPECT_EQ(config.threads, 0);
  EXPECT_EQ(config.headerTimeoutSeconds, 5);
  EXPECT_EQ(config.idleTimeoutSeconds, 7);
  EXPECT_EQ(config.maxConnectionsPerClient, 9);
  EXPECT_EQ(config.maxConnections, 11);
  ASSERT_EQ(config.banks.size(), 3u);
  for (const BankRelease& b : config.banks) {
    SCOPED_TRACE(b.bankIdText);
    if (b.bankId == 0x5a5) {
      EXPECT_EQ(b.bankIdText, "5a5");
      EXPECT_EQ(b.update, "2");
      EXPECT_EQ(b.envelopeKeyFile, "/c/own.pem");
      EXPECT_EQ(b.prefix, "/release/5a5");
    } else if (b.bankId == 0xabc) {
      EXPECT_EQ(b.bankIdText, "abc");
      EXPECT_EQ(b.envelopeKeyFile, "");
    } else {
      EXPECT_EQ(b.bankId, 0xdefu);
    }
  }
  EXPECT_FALSE(config.checkReleases);
  // The release check: the shared key for banks without their own, paths against the folder.
  ASSERT_TRUE(ParseUpdateServerConfig(
      R"({"listeners": [{"address": "127.0.0.1", "port": 1}], "envelopeKey": "k.pem",
          "checkReleases": true, "releaseKey": "keys/manifest-public.pem",
          "banks": {"867": {"version": "1", "release": "r"},
                    "5a5": {"version": "1", "release": "s", "releaseKey": "/k/5a5.pem"}}})",
      "/c", config, error))
      << error;
  EXPECT_TRUE(config.checkReleases);
  EXPECT_EQ(config.releaseKeyFile, "/c/keys/manifest-public.pem");
  for (const BankRelease& b : config.banks) {
    EXPECT_EQ(b.releaseKeyFile, b.bankId == 0x5a5 ? "/k/5a5.pem" : "/c/keys/manifest-public.pem");
  }
  // Every bank with a key of its own: no shared key needed.
  ASSERT_TRUE(ParseUpdateServerConfig(
      R"({"listeners": [{"address": "127.0.0.1", "port": 1}],
          "banks": {"867": {"version": "1", "release": "r", "envelopeKey": "k.pem"}}})",
      "/c", config, error))
      << error;
  EXPECT_TRUE(config.envelopeKeyFiles.empty());
}

TEST(UpdateServerConfigTest, VersionsAreOneToFourDottedNumbers) {
  for (const char* good : {"1", "1.0.0.2", "2.1.15.1203", "0.0.0.0", "4294967295.1"}) {
    EXPECT_TRUE(IsDottedVersion(good)) << good;
  }
  for (const char* bad : {"", "banana", "1.", ".1", "1..2", "1.2.3.4.5", "1.2a", "-1", " 1",
                          "1.4294967296", "12345678901", "1,2"}) {
    EXPECT_FALSE(IsDottedVersion(bad)) << bad;
  }
}

TEST(UpdateServerConfigTest, ConfigBankIdsMayCarry0x) {
  const struct {
    const char* text;
    bool ok;
    uint32_t value;
  } cases[] = {{"5a5", true, 0x5a5},  {"0x5a5", true, 0x5a5}, {"0X5A5", true, 0x5a5},
               {"0x", false, 0},      {"0x0x5", false, 0},    {"x5a5", false, 0},
               {"0xffffff", true, 0xffffff}, {"1000000", false, 0}, {"0x123456789", false, 0}};
  for (const auto& c : cases) {
    uint32_t value = 0;
    EXPECT_EQ(ParseConfigBankId(c.text, value), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(value, c.value) << c.text;
    }
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
