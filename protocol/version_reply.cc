// The version query text and its reply.
#include "protocol/version_reply.h"

#include <cstdint>
#include <exception>
#include <memory>

#include <json/json.h>

#include "base/strings.h"

namespace corlinq {
namespace {

// One reply value as text; false for a value that is not a scalar.
bool ValueText(const Json::Value& value, std::string_view json, std::string& text) {
  switch (value.type()) {
    case Json::nullValue:
      text.clear();
      return true;
    case Json::booleanValue:
      text = value.asBool() ? "true" : "false";
      return true;
    case Json::stringValue:
      text = value.asString();
      return true;
    case Json::intValue:
    case Json::uintValue:
    case Json::realValue: {
      // The number as the server wrote it ("2", "2.1", "1e3"), not as a double prints.
      const auto start = static_cast<size_t>(value.getOffsetStart());
      const auto limit = static_cast<size_t>(value.getOffsetLimit());
      if (start < limit && limit <= json.size()) {
        text.assign(json.substr(start, limit - start));
      } else {
        text = value.asString();
      }
      return true;
    }
    case Json::arrayValue:
    case Json::objectValue:
      return false;
  }
  return false;
}

bool ParseJsonObject(std::string_view json, Json::Value& root) {
  Json::CharReaderBuilder builder;
  builder["collectComments"] = false;
  const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  try {
    // The reader throws when the nesting exceeds its stack limit.
    return reader->parse(json.data(), json.data() + json.size(), &root, nullptr) &&
           root.isObject();
  } catch (const std::exception&) {
    return false;
  }
}

// Four decimal parts separated by dots, each 1 to 10 digits and within the int range the launch
// decision reads them in: "2.1.15.1203". At most 43 characters.
bool IsVersionText(std::string_view text) {
  size_t parts = 0;
  size_t start = 0;
  while (true) {
    const size_t dot = text.find('.', start);
    const std::string_view part = text.substr(start, dot == std::string_view::npos ? std::string_view::npos : dot - start);
    if (part.empty() || part.size() > 10) return false;
    uint64_t value = 0;
    for (const char ch : part) {
      if (ch < '0' || ch > '9') return false;
      value = value * 10 + static_cast<uint64_t>(ch - '0');
    }
    if (value > 2147483647u) return false;
    ++parts;
    if (dot == std::string_view::npos) break;
    start = dot + 1;
  }
  return parts == 4;
}

bool IsUpdateFlag(std::string_view text) { return text == "0" || text == "1" || text == "2"; }

}  // namespace

std::string VersionQueryText(int bankId) {
  return StrPrintf("%x", static_cast<unsigned int>(bankId));
}

bool ParseVersionReply(const EnvelopeKey& key, std::string_view body, VersionReply& out) {
  const size_t length = body.size() - body.size() % 2;
  std::string plain;
  if (!OpenEnvelopeToText(key, body.data(), length, plain)) return false;
  Json::Value root;
  if (!ParseJsonObject(plain, root)) return false;
  VersionReply reply;
  if (!ValueText(root["v"], plain, reply.v) || !ValueText(root["url"], plain, reply.url) ||
      !ValueText(root["update"], plain, reply.update)) {
    return false;
  }
  // The version goes into the install record and the flag decides whether the browser is ended:
  // a reply with anything else in them is not a reply of ours.
  if (!IsVersionText(reply.v) || !IsUpdateFlag(reply.update)) return false;
  out = std::move(reply);
  return true;
}

bool ParseVersionReply(std::string_view body, VersionReply& out) {
  return ParseVersionReply(BuiltinEnvelopeKey(), body, out);
}

}  // namespace corlinq
