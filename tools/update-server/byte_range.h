#pragma once
// The Range header of a file request, reduced to what the server sends back.
#include <cstdint>
#include <string_view>

namespace corlinq {

struct ByteRangeAnswer {
  enum Kind {
    kWhole,          // 200 with the whole file (no Range, one the server ignores, or several)
    kPart,           // 206 with bytes first .. first + length - 1
    kUnsatisfiable,  // 416 with "Content-Range: bytes */<size>"
  } kind = kWhole;
  uint64_t first = 0;
  uint64_t length = 0;
};

// Reads a Range header value for a file of `size` bytes: one "bytes=" range ("a-b", "a-" or
// "-n", blanks allowed around the parts) gives kPart, clipped to the file, or kUnsatisfiable
// when it starts at or past the end (or asks for the last 0 bytes). Several ranges give kWhole,
// as does a value that is not a well-formed bytes range (another unit, a > b, junk): such a
// header is ignored.
[[nodiscard]] ByteRangeAnswer AnswerByteRange(std::string_view header, uint64_t size);

}  // namespace corlinq
