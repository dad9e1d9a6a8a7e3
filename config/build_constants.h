#pragma once
// Constants fixed by the build (cmake/BankConfig.cmake).

namespace corlinq {

#ifndef CORLINQ_BANK_ID
#error "CORLINQ_BANK_ID must come from the build"
#endif

inline constexpr int kBankId = CORLINQ_BANK_ID;
// The hexadecimal digits of the bank id, as a text constant.
inline constexpr const char kBankIdText[] = CORLINQ_BANK_ID_TEXT;
// The product family word used in mutex, message, pipe and registry names.
inline constexpr const char kFamilyWord[] = "MOVRA";

}  // namespace corlinq
