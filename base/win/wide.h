#pragma once
// Win32 boundary helpers: UTF-8 inside, UTF-16 for the W functions.
#include <string>
#include <string_view>

namespace corlinq::win {

// Converts UTF-8 to UTF-16. Invalid input gives an empty string.
[[nodiscard]] std::wstring Utf8ToWide(std::string_view utf8);
// Converts UTF-16 to UTF-8. Unpaired surrogates give an empty string.
[[nodiscard]] std::string WideToUtf8(std::wstring_view wide);

}  // namespace corlinq::win
