#pragma once
// The one spelling of a bank id every tool accepts: hexadecimal digits, with or without "0x",
// in any letter case ("5a5", "0x5a5", "0X5A5"), at most 0xffffff.
#include <optional>
#include <string>
#include <string_view>

namespace corlinq {

inline constexpr int kMaxBankId = 0xFFFFFF;

// The bank id, or nothing when the text is not one.
[[nodiscard]] std::optional<int> ParseBankId(std::string_view text);

// "%x" (the id in names like WebUI_5a5.exe) and "%03x" (corlinq_042.exe, Digest_042.xml).
[[nodiscard]] std::string BankIdHex(int bankId);
[[nodiscard]] std::string BankIdHex3(int bankId);

}  // namespace corlinq
