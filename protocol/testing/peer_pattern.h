#pragma once
// The bytes the test peer serves for /dl/... routes: byte i of a file depends only on i, so a
// client can check what it received without the peer keeping files.
#include <cstddef>
#include <cstdint>
#include <string>

namespace corlinq::testing {

inline void FillPattern(uint64_t offset, char* out, size_t size) {
  for (size_t k = 0; k < size; ++k) {
    const uint64_t i = offset + k;
    out[k] = static_cast<char>((i * 131 + (i >> 9)) & 0xff);
  }
}

inline std::string PatternBytes(size_t size) {
  std::string bytes(size, '\0');
  FillPattern(0, bytes.data(), size);
  return bytes;
}

}  // namespace corlinq::testing
