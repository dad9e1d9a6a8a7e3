#include "base/bank_id.h"

#include <cstdio>

namespace corlinq {

std::optional<int> ParseBankId(std::string_view text) {
  if (text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    text.remove_prefix(2);
  }
  if (text.empty()) return std::nullopt;
  long value = 0;
  for (char c : text) {
    int digit = -1;
    if (c >= '0' && c <= '9') digit = c - '0';
    else if (c >= 'a' && c <= 'f') digit = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F') digit = c - 'A' + 10;
    if (digit < 0) return std::nullopt;
    value = value * 16 + digit;
    if (value > kMaxBankId) return std::nullopt;
  }
  return static_cast<int>(value);
}

std::string BankIdHex(int bankId) {
  char text[16];
  std::snprintf(text, sizeof text, "%x", static_cast<unsigned>(bankId));
  return text;
}

std::string BankIdHex3(int bankId) {
  char text[16];
  std::snprintf(text, sizeof text, "%03x", static_cast<unsigned>(bankId));
  return text;
}

}  // namespace corlinq
