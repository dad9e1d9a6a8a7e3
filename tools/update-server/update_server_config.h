#pragma once
// Configuration of the reference update server: one JSON file (see README.md in this folder).
#include <cstdint>
#include <string>
#include <vector>

namespace corlinq {

struct ListenerConfig {
  std::string address;  // numeric IPv4 or IPv6 address, or a host name (every address it has)
  int port = 0;         // 0 picks a free port (reported when the server is ready)
  bool tls = false;     // HTTPS with certificateFile / privateKeyFile
};

// One bank's current release.
struct BankRelease {
  uint32_t bankId = 0;
  std::string bankIdText;  // lowercase hexadecimal without leading zeros ("867")
  std::string version;     // "v" of the version reply
  std::string update;      // "update" of the version reply (a decimal integer as text)
  std::string url;         // "url" of the version reply; empty: built from the request's Host
  std::string envelopeKeyFile;  // the bank's own envelope key pair (absolute); empty: the shared
  std::string releaseDir;  // folder served under `prefix` (absolute)
  // Public key (PEM) the release's manifests are checked against with checkReleases
  // (absolute); empty: the configuration's releaseKey.
  std::string releaseKeyFile;
  std::string prefix;      // URL path the release is served under, "/release/<bankIdText>"
};

struct UpdateServerConfig {
  std::vector<ListenerConfig> listeners;
  std::string certificateFile;  // PEM; needed when a listener has tls
  std::string privateKeyFile;   // PEM; needed when a listener has tls
  // PEM files of the shared envelope key pairs, tried in this order on each query.
  std::vector<std::string> envelopeKeyFiles;
  std::string requestPath = "/assist/server?reqtype=1&data=";
  int threads = 0;  // worker threads per listener; 0: one per processor
  // Plain-HTTP listeners take the client address from X-Forwarded-For and the scheme of the
  // reply's URL from X-Forwarded-Proto, but only on connections from these addresses.
  std::vector<std::string> trustedProxies;
  bool jsonLog = false;           // request log as JSON lines instead of text lines
  int headerTimeoutSeconds = 10;  // a request's headers must be in within this time
  int idleTimeoutSeconds = 60;    // a connection with no traffic for this long is closed
  int maxConnectionsPerClient = 256;  // per client address (trusted proxies are not counted)
  int maxConnections = 10000;         // per listener
  // Verify every bank's release folder (both manifests' signatures, every listed file's
  // digest) when the configuration is loaded: at start, by --check-config and on SIGHUP.
  bool checkReleases = false;
  std::string releaseKeyFile;  // PEM public key for banks without their own releaseKey
  std::vector<BankRelease> banks;
};

// Parses the JSON text of a configuration. Relative file and folder names are taken relative
// to baseDir (the configuration file's folder). On failure returns false with a one-line
// reason in error; out is then unspecified.
[[nodiscard]] bool ParseUpdateServerConfig(const std::string& jsonText, const std::string& baseDir,
                                           UpdateServerConfig& out, std::string& error);

// Reads and parses a configuration file.
[[nodiscard]] bool LoadUpdateServerConfig(const std::string& path, UpdateServerConfig& out,
                                          std::string& error);

// Reads a bank id text: 1 to 8 hexadecimal digits, either case. False for anything else.
[[nodiscard]] bool ParseBankIdText(const std::string& text, uint32_t& bankId);

// A bank id as operators write it, the one spelling every tool takes (base/bank_id.h):
// hexadecimal, any case, optionally after "0x", at most ffffff.
[[nodiscard]] bool ParseConfigBankId(const std::string& text, uint32_t& bankId);

// A version text the downloader can compare: 1 to 4 dot-separated decimal numbers, each of at
// most 10 digits and below 2^32 ("1.0.0.2").
[[nodiscard]] bool IsDottedVersion(const std::string& text);

}  // namespace corlinq
