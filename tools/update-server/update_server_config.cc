#include "tools/update-server/update_server_config.h"

#include <json/json.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

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

bool IsNumericIpv4(const std::string& text) {
  int parts = 0;
  size_t i = 0;
  while (i <= text.size()) {
    size_t start = i;
    unsigned value = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9' && i - start < 3) {
      value = value * 10 + static_cast<unsigned>(text[i] - '0');
      ++i;
    }
    if (i == start || value > 255) return false;
    ++parts;
    if (i == text.size()) break;
    if (text[i] != '.') return false;
    ++i;
  }
  return parts == 4;
}

bool ParseListener(const Json::Value& v, ListenerConfig& out, std::string& error) {
  if (!v.isObject()) {
    error = "each listener must be an object";
    return false;
  }
  if (!ReadText(v, "address", out.address, true, error)) return false;
  if (!IsNumericIpv4(out.address)) {
    error = "listener address must be a numeric IPv4 address: " + out.address;
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

bool ParseUpdateServerConfig(const std::string& jsonText, const std::string& baseDir,
                             UpdateServerConfig& out, std::string& error) {
  Json::CharReaderBuilder builder;
  builder["collectComments"] = false;
  builder["allowComments"] = true;
  builder["rejectDupKeys"] = true;
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
  text.clear();
  if (!ReadText(root, "envelopeKey", text, true, error)) return false;
  out.envelopeKeyFile = ResolvePath(baseDir, text);

  if (!ReadText(root, "requestPath", out.requestPath, false, error)) return false;
  if (out.requestPath.empty() || out.requestPath[0] != '/' ||
      out.requestPath.find_first_of(" #%\\") != std::string::npos) {
    error = "\"requestPath\" must start with \"/\" and hold no space, '#', '%' or '\\'";
    return false;
  }

  const Json::Value& threads = root["threads"];
  if (!threads.isNull()) {
    if (!threads.isIntegral() || threads.asInt64() < 1 || threads.asInt64() > 256) {
      error = "\"threads\" must be a number from 1 to 256";
      return false;
    }
    out.threads = threads.asInt();
  }

  const Json::Value& banks = root["banks"];
  if (!banks.isObject() || banks.empty()) {
    error = "\"banks\" must be a non-empty object keyed by bank id";
    return false;
  }
  for (const std::string& key : banks.getMemberNames()) {
    const Json::Value& v = banks[key];
    BankRelease bank;
    if (!ParseBankIdText(key, bank.bankId)) {
      error = "bank id \"" + key + "\" is not 1 to 8 hexadecimal digits";
      return false;
    }
    bank.bankIdText = StrPrintf("%x", bank.bankId);
    if (!v.isObject()) {
      error = "bank " + key + " must be an object";
      return false;
    }
    std::string releaseDir;
    if (!ReadText(v, "version", bank.version, true, error) ||
        !ReadText(v, "update", bank.update, false, error) ||
        !ReadText(v, "url", bank.url, false, error) ||
        !ReadText(v, "release", releaseDir, true, error)) {
      error = "bank " + key + ": " + error;
      return false;
    }
    if (bank.update.empty()) bank.update = "0";
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
