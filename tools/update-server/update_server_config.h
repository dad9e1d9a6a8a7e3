#pragma once
// Configuration of the reference update server: one JSON file (see README.md in this folder).
#include <cstdint>
#include <string>
#include <vector>

namespace corlinq {

struct ListenerConfig {
  std::string address;  // numeric IPv4 address, e.g. "127.0.0.1"
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
  std::string releaseDir;  // folder served under `prefix` (absolute)
  std::string prefix;      // URL path the release is served under, "/release/<bankIdText>"
};

struct UpdateServerConfig {
  std::vector<ListenerConfig> listeners;
  std::string certificateFile;  // PEM; needed when a listener has tls
  std::string privateKeyFile;   // PEM; needed when a listener has tls
  std::string envelopeKeyFile;  // PEM of the envelope key pair
  std::string requestPath = "/assist/server?reqtype=1&data=";
  int threads = 8;  // worker threads per listener
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

}  // namespace corlinq
