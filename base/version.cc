// Version texts and their comparison.
#include "base/version.h"

#include <climits>
#include <cstdint>

namespace corlinq {
namespace {

// atoi as the C runtime does it, with out-of-range values clamped to INT_MAX / INT_MIN.
int AtoiPiece(std::string_view piece) {
  size_t i = 0;
  while (i < piece.size() && (piece[i] == ' ' || (piece[i] >= '\t' && piece[i] <= '\r'))) ++i;
  bool negative = false;
  if (i < piece.size() && (piece[i] == '+' || piece[i] == '-')) {
    negative = piece[i] == '-';
    ++i;
  }
  int64_t value = 0;
  for (; i < piece.size() && piece[i] >= '0' && piece[i] <= '9'; ++i) {
    value = value * 10 + (piece[i] - '0');
    if (value > int64_t{INT_MAX} + 1) value = int64_t{INT_MAX} + 1;  // saturate, keep going
  }
  if (negative) value = -value;
  if (value > INT_MAX) value = INT_MAX;
  if (value < INT_MIN) value = INT_MIN;
  return static_cast<int>(value);
}

uint32_t PartValue(std::string_view piece) {
  return static_cast<uint32_t>(AtoiPiece(piece));
}

}  // namespace

void ParseVersion(std::string_view text, VersionParts& parts) {
  parts = {0, 0, 0, 0};
  if (text.size() <= 3) return;
  if (text.find('.') == std::string_view::npos) {
    parts[0] = PartValue(text.substr(0, 1));
    parts[1] = PartValue(text.substr(1, 1));
    parts[2] = PartValue(text.substr(2, 2));
    parts[3] = PartValue(text.substr(4));
    return;
  }
  size_t start = 0;
  for (size_t i = 0; i < 4; ++i) {
    const size_t dot = text.find('.', start);
    if (dot == std::string_view::npos) {
      // The last piece runs to the end; parts after it stay 0.
      parts[i] = PartValue(text.substr(start));
      return;
    }
    parts[i] = PartValue(text.substr(start, dot - start));
    start = dot + 1;
  }
}

int CompareVersions(const VersionParts& a, const VersionParts& b) {
  for (size_t i = 0; i < 4; ++i) {
    if (a[i] < b[i]) return -1;
    if (a[i] > b[i]) return 1;
  }
  return 0;
}

}  // namespace corlinq
