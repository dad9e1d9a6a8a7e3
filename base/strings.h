#pragma once
// Text helpers. Text is UTF-8 everywhere inside the program.
#include <string>
#include <string_view>

namespace corlinq {

// printf-style formatting into a std::string.
[[nodiscard]] std::string StrPrintf(const char* format, ...) __attribute__((format(printf, 1, 2)));

// True when the bytes form well-formed UTF-8 (no overlongs, surrogates or values past U+10FFFF).
[[nodiscard]] bool IsValidUtf8(std::string_view text);

// Lower-cases ASCII letters only; every other byte (UTF-8 sequences included) stays as it is.
[[nodiscard]] std::string ToLowerAscii(std::string_view text);

[[nodiscard]] bool EndsWith(std::string_view text, std::string_view suffix);

}  // namespace corlinq
