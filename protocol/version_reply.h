#pragma once
// The version query: the request text and the handling of the server's reply.
#include <string>
#include <string_view>

#include "protocol/envelope.h"

namespace corlinq {

// The reply's values, as texts.
struct VersionReply {
  std::string v;       // the assistant's current version
  std::string url;     // base URL of the downloads
  std::string update;  // update indicator, a decimal integer as text
};

// The query text: the bank id in lowercase hexadecimal without leading zeros ("%x").
[[nodiscard]] std::string VersionQueryText(int bankId);

// Opens a reply body and reads its JSON object. A body of odd length loses its last character
// (a trailing newline after the digits does no harm). Each of "v", "url", "update" is read as
// text: absent or null gives "", true/false give "true"/"false", a string itself, a number the
// text it was written with. False, out unchanged, when the body does not open, the plaintext is
// not JSON or not a JSON object, or one of the three values is an array or an object.
[[nodiscard]] bool ParseVersionReply(const EnvelopeKey& key, std::string_view body,
                                     VersionReply& out);
[[nodiscard]] bool ParseVersionReply(std::string_view body, VersionReply& out);

}  // namespace corlinq
