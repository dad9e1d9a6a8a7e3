#include "tools/update-server/byte_range.h"

#include <limits>

namespace corlinq {
namespace {

constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();

void SkipBlanks(std::string_view& s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
}

// Decimal digits; a number too large for 64 bits is read as the largest value (a position
// that far is past the end of any file).
bool ReadNumber(std::string_view& s, uint64_t& value) {
  size_t digits = 0;
  value = 0;
  while (digits < s.size() && s[digits] >= '0' && s[digits] <= '9') {
    const uint64_t d = static_cast<uint64_t>(s[digits] - '0');
    value = value > (kMax - d) / 10 ? kMax : value * 10 + d;
    ++digits;
  }
  s.remove_prefix(digits);
  return digits > 0;
}

}  // namespace

ByteRangeAnswer AnswerByteRange(std::string_view header, uint64_t size) {
  ByteRangeAnswer whole;
  SkipBlanks(header);
  constexpr std::string_view kUnit = "bytes=";
  if (header.size() < kUnit.size()) return whole;
  for (size_t i = 0; i < kUnit.size(); ++i) {
    char c = header[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != kUnit[i]) return whole;
  }
  std::string_view s = header.substr(kUnit.size());
  SkipBlanks(s);
  uint64_t first = 0, last = kMax;
  bool suffix = false;
  if (!s.empty() && s.front() == '-') {
    suffix = true;
    s.remove_prefix(1);
    SkipBlanks(s);
    if (!ReadNumber(s, last)) return whole;
  } else {
    if (!ReadNumber(s, first)) return whole;
    SkipBlanks(s);
    if (s.empty() || s.front() != '-') return whole;
    s.remove_prefix(1);
    SkipBlanks(s);
    if (!s.empty() && s.front() >= '0' && s.front() <= '9') {
      if (!ReadNumber(s, last)) return whole;
      if (last < first) return whole;
    }
  }
  SkipBlanks(s);
  if (!s.empty()) return whole;  // several ranges, or junk after the one

  ByteRangeAnswer answer;
  if (suffix) {
    if (last == 0 || size == 0) {
      answer.kind = ByteRangeAnswer::kUnsatisfiable;
      return answer;
    }
    const uint64_t length = last < size ? last : size;
    answer.kind = ByteRangeAnswer::kPart;
    answer.first = size - length;
    answer.length = length;
    return answer;
  }
  if (first >= size) {
    answer.kind = ByteRangeAnswer::kUnsatisfiable;
    return answer;
  }
  if (last >= size) last = size - 1;
  answer.kind = ByteRangeAnswer::kPart;
  answer.first = first;
  answer.length = last - first + 1;
  return answer;
}

}  // namespace corlinq
