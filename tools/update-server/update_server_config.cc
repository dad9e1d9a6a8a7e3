#include "tools/update-server/update_server_config.h"

#include <arpa/inet.h>
#include <json/json.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <memory>
#include <optional>
#include <sstream>

#include "base/bank_id.h"
#include "base/strings.h"

namespace corlinq {
namespace {

namespace fs = std::filesystem;

std::string ResolvePath(const std::string& baseDir, const std::string& name) {
  fs::path p(name);
  if (p.is_relative() && !baseDir.empty()) p = fs::path(baseDir) / p;
  return p.lexically_normal().string();
}

// A string member, or a number/bool converted to text. False when present with another type.
bool ReadText(const Json::Value& object, const char* key, std::string& out, bool required,
              std::string& error) {
  const Json::Value& v = object[key];
  if (v.isNull()) {
    if (required) error = StrPrintf("missing \"%s\"", key);
    return !required;
  }
  if (v.isString()) {
    out = v.asString();
    return true;
  }
  if (v.isIntegral() || v.isBool()) {
    out = v.asString();
    return true;
  }
  error = StrPrintf("\"%s\" must be a string", key);
  return false;
}

// A numeric address or a host name: letters, digits, '.', '-', ':' (IPv6), optionally in
// brackets ("[::1]"); resolved when the server starts.
bool IsListenAddress(std::string& text) {
  if (text.size() > 2 && text.front() == '[' && text.back() == ']') {
    text = text.substr(1, text.size() - 2);
  }
  if (text.empty() || text.size() > 253) return false;
  for (char c : text) {
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '.' || c == '-' || c == ':' || c == '%' || c == '_';
    if (!ok) return false;
  }
  return true;
}

// Every member of an object is one of `known`; else the first unknown one is named.
bool OnlyKnownKeys(const Json::Value& object, std::initializer_list<const char*> known,
                   const std::string& where, std::string& error) {
  for (const std::string& name : object.getMemberNames()) {
    bool found = false;
    for (const char* k : known) found = found || name == k;
    if (!found) {
      error = "unknown key \"" + name + "\"" + (where.empty() ? "" : " in " + where);
      return false;
    }
  }
  return true;
}

// An integer member within [low, high]; `out` is kept when the member is absent.
bool ReadInt(const Json::Value& object, const char* key, int low, int high, int& out,
             std::string& error) {
  const Json::Value& v = object[key];
  if (v.isNull()) return true;
  if (!v.isIntegral() || v.asInt64() < low || v.asInt64() > high) {
    error = StrPrintf("\"%s\" must be a number from %d to %d", key, low, high);
    return false;
  }
  out = v.asInt();
  return true;
}

bool ParseListener(const Json::Value& v, ListenerConfig& out, std::string& error) {
  if (!v.isObject()) {
    error = "each listener must be an object";
    return false;
  }
  if (!OnlyKnownKeys(v, {"address", "port", "tls"}, "a listener", error)) return false;
  if (!ReadText(v, "address", out.address, true, error)) return false;
  if (!IsListenAddress(out.address)) {
    error = "listener address must be an IPv4 or IPv6 address or a host name: " + out.address;
    return false;
  }
  const Json::Value& port = v["port"];
  if (!port.isIntegral() || port.asInt64() < 0 || port.asInt64() > 65535) {
    error = "listener port must be a number from 0 to 65535";
    return false;
  }
  out.port = port.asInt();
  const Json::Value& tls = v["tls"];
  if (!tls.isNull() && !tls.isBool()) {
    error = "listener \"tls\" must be true or false";
    return false;
  }
  out.tls = tls.isBool() && tls.asBool();
  return true;
}

// A URL path prefix: starts with "/", no trailing "/", no empty, "." or ".." segments.
bool NormalizePrefix(std::string& prefix) {
  while (prefix.size() > 1 && prefix.back() == '/') prefix.pop_back();
  if (prefix.empty() || prefix[0] != '/' || prefix == "/") return false;
  std::stringstream segments(prefix.substr(1));
  std::string segment;
  while (std::getline(segments, segment, '/')) {
    if (segment.empty() || segment == "." || segment == ".." ||
        segment.find_first_of("\\?#%") != std::string::npos) {
      return false;
    }
  }
  return true;
}

}  // namespace

bool ParseBankIdText(const std::string& text, uint32_t& bankId) {
  if (text.empty() || text.size() > 8) return false;
  uint32_t value = 0;
  for (char c : text) {
    uint32_t digit;
    if (c >= '0' && c <= '9') {
      digit = static_cast<uint32_t>(c - '0');
    } else if (c >= 'a' && c <= 'f') {
      digit = static_cast<uint32_t>(c - 'a' + 10);
    } else if (c >= 'A' && c <= 'F') {
      digit = static_cast<uint32_t>(c - 'A' + 10);
    } else {
      return false;
    }
    value = value * 16 + digit;
  }
  bankId = value;
  return true;
}

bool ParseConfigBankId(const std::string& text, uint32_t& bankId) {
  std::optional<int> id = ParseBankId(text);
  if (!id) return false;
  bankId = static_cast<uint32_t>(*id);
  return true;
}

bool IsDottedVersion(const std::string& text) {
  int parts = 0;
  size_t i = 0;
  for (;;) {
    size_t start = i;
    uint64_t value = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9' && i - start < 10) {
      value = value * 10 + static_cast<uint64_t>(text[i] - '0');
      ++i;
    }
    if (i == start || value > 0xffffffffull) return false;
    ++parts;
    if (i == text.size()) return parts <= 4;
    if (text[i] != '.' || parts == 4) return false;
    ++i;
  }
}

bool ParseUpdateServerConfig(const std::string& jsonText, const std::string& baseDir,
                             UpdateServerConfig& out, std::string& error) {
  Json::CharReaderBuilder builder;
  builder["collectComments"] = false;
  builder["allowComments"] = true;
  builder["rejectDupKeys"] = true;
  builder["allowTrailingCommas"] = false;
  builder["allowDroppedNullPlaceholders"] = false;
  builder["allowSingleQuotes"] = false;
  builder["allowSpecialFloats"] = false;
  builder["failIfExtra"] = true;
  builder["strictRoot"] = true;
  Json::Value root;
  std::string parseErrors;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  if (!reader->parse(jsonText.data(), jsonText.data() + jsonText.size(), &root, &parseErrors)) {
    error = "not valid JSON: " + parseErrors;
    std::replace(error.begin(), error.end(), '\n', ' ');
    return false;
  }
  if (!root.isObject()) {
    error = "the configuration must be a JSON object";
    return false;
  }
  out = UpdateServerConfig{};
  if (!OnlyKnownKeys(root, {"listeners", "certificate", "privateKey", "envelopeKey",
                            "requestPath", "threads", "trustedProxies", "log", "headerTimeout",
                            "idleTimeout", "maxConnectionsPerClient", "maxConnections", "checkReleases",
                            "releaseKey", "banks"},
                     "", error)) {
    return false;
  }

  const Json::Value& listeners = root["listeners"];
  if (!listeners.isArray() || listeners.empty()) {
    error = "\"listeners\" must be a non-empty array";
    return false;
  }
  bool anyTls = false;
  for (const Json::Value& v : listeners) {
    ListenerConfig listener;
    if (!ParseListener(v, listener, error)) return false;
    anyTls = anyTls || listener.tls;
    out.listeners.push_back(listener);
  }

  std::string text;
  if (!ReadText(root, "certificate", text, anyTls, error)) return false;
  if (!text.empty()) out.certificateFile = ResolvePath(baseDir, text);
  text.clear();
  if (!ReadText(root, "privateKey", text, anyTls, error)) return false;
  if (!text.empty()) out.privateKeyFile = ResolvePath(baseDir, text);
  const Json::Value& keys = root["envelopeKey"];
  if (keys.isString() && !keys.asString().empty()) {
    out.envelopeKeyFiles.push_back(ResolvePath(baseDir, keys.asString()));
  } else if (keys.isArray() && !keys.empty()) {
    for (const Json::Value& k : keys) {
      if (!k.isString() || k.asString().empty()) {
        error = "\"envelopeKey\" must be a file name or a list of file names";
        return false;
      }
      out.envelopeKeyFiles.push_back(ResolvePath(baseDir, k.asString()));
    }
  } else if (!keys.isNull()) {
    error = "\"envelopeKey\" must be a file name or a list of file names";
    return false;
  }

  if (!ReadText(root, "requestPath", out.requestPath, false, error)) return false;
  if (out.requestPath.empty() || out.requestPath[0] != '/' ||
      out.requestPath.find_first_of(" #%\\") != std::string::npos) {
    error = "\"requestPath\" must start with \"/\" and hold no space, '#', '%' or '\\'";
    return false;
  }

  if (!ReadInt(root, "threads", 0, 256, out.threads, error) ||
      !ReadInt(root, "headerTimeout", 1, 3600, out.headerTimeoutSeconds, error) ||
      !ReadInt(root, "idleTimeout", 1, 3600, out.idleTimeoutSeconds, error) ||
      !ReadInt(root, "maxConnectionsPerClient", 1, 100000, out.maxConnectionsPerClient, error) ||
      !ReadInt(root, "maxConnections", 1, 1000000, out.maxConnections, error)) {
    return false;
  }
  const Json::Value& log = root["log"];
  if (!log.isNull()) {
    if (!log.isString() || (log.asString() != "text" && log.asString() != "json")) {
      error = "\"log\" must be \"text\" or \"json\"";
      return false;
    }
    out.jsonLog = log.asString() == "json";
  }
  const Json::Value& proxies = root["trustedProxies"];
  if (!proxies.isNull() && !proxies.isArray()) {
    error = "\"trustedProxies\" must be a list of addresses";
    return false;
  }
  for (const Json::Value& p : proxies) {
    in6_addr binary{};
    std::string address = p.isString() ? p.asString() : std::string();
    if (inet_pton(AF_INET, address.c_str(), &binary) != 1 &&
        inet_pton(AF_INET6, address.c_str(), &binary) != 1) {
      error = "\"trustedProxies\" must hold numeric addresses: " + address;
      return false;
    }
    out.trustedProxies.push_back(address);
  }

  const Json::Value& checkReleases = root["checkReleases"];
  if (!checkReleases.isNull() && !checkReleases.isBool()) {
    error = "\"checkReleases\" must be true or false";
    return false;
  }
  out.checkReleases = checkReleases.isBool() && checkReleases.asBool();
  text.clear();
  if (!ReadText(root, "releaseKey", text, false, error)) return false;
  if (!text.empty()) out.releaseKeyFile = ResolvePath(baseDir, text);

  const Json::Value& banks = root["banks"];
  if (!banks.isObject() || banks.empty()) {
    error = "\"banks\" must be a non-empty object keyed by bank id";
    return false;
  }
  for (const std::string& key : banks.getMemberNames()) {
    const Json::Value& v = banks[key];
    BankRelease bank;
    if (!ParseConfigBankId(key, bank.bankId)) {
      error = "bank id \"" + key + "\" is not a hexadecimal bank id up to ffffff (\"0x\" allowed)";
      return false;
    }
    bank.bankIdText = StrPrintf("%x", bank.bankId);
    if (!v.isObject()) {
      error = "bank " + key + " must be an object";
      return false;
    }
    std::string releaseDir, bankKey, releaseKey;
    if (!OnlyKnownKeys(v, {"version", "update", "url", "release", "prefix", "envelopeKey",
                           "releaseKey"},
                       "bank " + key, error) ||
        !ReadText(v, "version", bank.version, true, error) ||
        !ReadText(v, "update", bank.update, false, error) ||
        !ReadText(v, "url", bank.url, false, error) ||
        !ReadText(v, "release", releaseDir, true, error) ||
        !ReadText(v, "envelopeKey", bankKey, false, error) ||
        !ReadText(v, "releaseKey", releaseKey, false, error)) {
      error = "bank " + key + ": " + error;
      return false;
    }
    if (!IsDottedVersion(bank.version)) {
      error = "bank " + key + ": \"version\" must be dotted numbers such as \"1.0.0.2\": " +
              bank.version;
      return false;
    }
    if (bank.update.empty()) bank.update = "0";
    if (bank.update != "0" && bank.update != "1" && bank.update != "2") {
      error = "bank " + key + ": \"update\" must be 0, 1 or 2: " + bank.update;
      return false;
    }
    if (!bankKey.empty()) bank.envelopeKeyFile = ResolvePath(baseDir, bankKey);
    bank.releaseKeyFile = releaseKey.empty() ? out.releaseKeyFile : ResolvePath(baseDir, releaseKey);
    if (out.checkReleases && bank.releaseKeyFile.empty()) {
      error = "bank " + key + ": \"checkReleases\" needs a \"releaseKey\" (the bank's or the "
              "shared one)";
      return false;
    }
    while (!bank.url.empty() && bank.url.back() == '/') bank.url.pop_back();
    bank.releaseDir = ResolvePath(baseDir, releaseDir);
    bank.prefix = "/release/" + bank.bankIdText;
    if (!ReadText(v, "prefix", bank.prefix, false, error)) {
      error = "bank " + key + ": " + error;
      return false;
    }
    if (!NormalizePrefix(bank.prefix)) {
      error = "bank " + key + ": \"prefix\" must be a URL path such as \"/release/867\"";
      return false;
    }
    for (const BankRelease& other : out.banks) {
      if (other.bankId == bank.bankId) {
        error = "bank id " + key + " is given twice";
        return false;
      }
      if (other.prefix == bank.prefix) {
        error = "banks " + other.bankIdText + " and " + bank.bankIdText + " share the prefix " +
                bank.prefix;
        return false;
      }
    }
    out.banks.push_back(bank);
  }
  if (out.envelopeKeyFiles.empty()) {
    for (const BankRelease& bank : out.banks) {
      if (bank.envelopeKeyFile.empty()) {
        error = "missing \"envelopeKey\" (bank " + bank.bankIdText + " has no key of its own)";
        return false;
      }
    }
  }
  return true;
}

bool LoadUpdateServerConfig(const std::string& path, UpdateServerConfig& out,
                            std::string& error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = "cannot read " + path;
    return false;
  }
  std::ostringstream text;
  text << in.rdbuf();
  std::string baseDir = fs::path(path).parent_path().string();
  if (baseDir.empty()) baseDir = ".";
  baseDir = fs::absolute(baseDir).lexically_normal().string();
  return ParseUpdateServerConfig(text.str(), baseDir, out, error);
}

}  // namespace corlinq
