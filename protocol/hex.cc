// Hexadecimal text of the envelope bytes.
#include "protocol/envelope.h"

namespace corlinq {

int HexEncodeUpper(const unsigned char* bytes, size_t count, char* output, size_t* inOutLength) {
  if (inOutLength == nullptr || (bytes == nullptr && count != 0)) return -1;
  const size_t needed = 2 * count + 10;
  if (output == nullptr || *inOutLength < needed) {
    *inOutLength = needed;
    return 0;
  }
  static constexpr char kDigits[] = "0123456789ABCDEF";
  for (size_t i = 0; i < count; ++i) {
    output[2 * i] = kDigits[bytes[i] >> 4];
    output[2 * i + 1] = kDigits[bytes[i] & 0x0F];
  }
  output[2 * count] = '\0';
  *inOutLength = 2 * count;
  return 0;
}

namespace {

// Lenient digit value: letters a-f in either case, anything else its distance from '0'.
int DigitValue(char ch) {
  const int code = static_cast<unsigned char>(ch);
  if (code >= 'a' && code <= 'f') return code - 'a' + 10;
  if (code >= 'A' && code <= 'F') return code - 'A' + 10;
  return code - 0x30;
}

}  // namespace

int HexDecode(const char* text, size_t count, unsigned char* output, size_t* inOutLength) {
  if (inOutLength == nullptr || count % 2 != 0 || (text == nullptr && count != 0)) return -1;
  const size_t bytes = count / 2;
  if (output != nullptr && *inOutLength >= bytes) {
    for (size_t i = 0; i < bytes; ++i) {
      const int value = DigitValue(text[2 * i]) * 16 + DigitValue(text[2 * i + 1]);
      output[i] = static_cast<unsigned char>(value & 0xFF);
    }
  }
  *inOutLength = bytes;
  return 0;
}

}  // namespace corlinq
