// Fuzzes the reading of server replies: raw bytes into the envelope opening and the version
// reply, and (to get past the digest check) arbitrary plaintexts sealed first and then opened and
// read as a version reply.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/envelope.h"
#include "protocol/version_reply.h"

namespace {

void OpenRaw(const char* text, size_t length) {
  size_t capacity = 0;
  if (corlinq::OpenEnvelope(text, length, nullptr, &capacity) != 0) __builtin_trap();
  std::vector<unsigned char> buffer(capacity + 1, 0);
  if (corlinq::OpenEnvelope(text, length, buffer.data(), &capacity) == 0 &&
      capacity > length) {
    __builtin_trap();
  }
  std::string plain;
  (void)corlinq::OpenEnvelopeToText(text, length, plain);
  corlinq::VersionReply reply;
  (void)corlinq::ParseVersionReply(std::string_view(text, length), reply);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const char* rest = reinterpret_cast<const char*>(data + 1);
  const size_t restSize = size - 1;
  // An exact-size copy, so that any read past the text is seen.
  std::vector<char> text(rest, rest + restSize);
  switch (data[0] % 4) {
    case 0:
    case 1:
      OpenRaw(text.data(), text.size());
      break;
    case 2:
    case 3: {
      std::string body;
      const std::string_view message(text.data(), text.size());
      if (!corlinq::SealEnvelopeText(message, body)) return 0;
      std::string plain;
      const bool opened = corlinq::OpenEnvelopeToText(body.data(), body.size(), plain);
      // Without a zero byte every plaintext comes back as it was sealed (a zero byte cuts the
      // plaintext short and so fails the digest).
      if (message.find('\0') == std::string_view::npos && (!opened || plain != message)) {
        __builtin_trap();
      }
      if (data[0] % 4 == 3) body.push_back('\n');
      corlinq::VersionReply reply;
      (void)corlinq::ParseVersionReply(body, reply);
      break;
    }
  }
  return 0;
}
