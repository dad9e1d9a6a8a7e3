#pragma once
// The version query: the request text and the handling of the server's reply.
#include <string>
#include <string_view>

#include "protocol/envelope.h"

namespace corlinq {

// The reply's values, as texts.
struct VersionReply {
  std::string v;       // the assistant's current version, "a.b.c.d"
  std::string url;     // base URL of the downloads
  std::string update;  // update indicator: "0", "1" or "2"
};

// The query text: the bank id in lowercase hexadecimal without leading zeros ("%x").
[[nodiscard]] std::string VersionQueryText(int bankId);

// Opens a reply body and reads its JSON object. A body of odd length loses its last character
// (a trailing newline after the digits does no harm). Each of "v", "url", "update" is read as
// text: absent or null gives "", true/false give "true"/"false", a string itself, a number the
// text it was written with. False, out unchanged, when the body does not open, the plaintext is
// not JSON or not a JSON object, one of the three values is an array or an object, "v" is not
// four dotted decimal parts (each at most 10 digits and 2147483647: "2.1.15.1203"), or "update"
// is not exactly 0, 1 or 2.
[[nodiscard]] bool ParseVersionReply(const EnvelopeKey& key, std::string_view body,
                                     VersionReply& out);
[[nodiscard]] bool ParseVersionReply(std::string_view body, VersionReply& out);

}  // namespace corlinq
