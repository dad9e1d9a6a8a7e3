// The version query text and its reply.
#include "protocol/version_reply.h"

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
  out = std::move(reply);
  return true;
}

bool ParseVersionReply(std::string_view body, VersionReply& out) {
  return ParseVersionReply(BuiltinEnvelopeKey(), body, out);
}

}  // namespace corlinq
