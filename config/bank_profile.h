#pragma once
// The built-in bank table. Every build carries the whole table and picks its row by bank id.
#include <array>
#include <cstddef>

namespace corlinq {

struct BankProfile {
  int bankId = 0;
  const char* displayName = "";   // UTF-8
  const char* serverBase = "";    // scheme and host, no path, no trailing slash
  std::array<const char*, 4> serverList{};  // all null when the bank has no list
  const char* legacyProductKey = "";        // product code, product name, or empty

  [[nodiscard]] bool hasServerList() const { return serverList[0] != nullptr; }
};

// The row for a bank id, or null when the table has none.
[[nodiscard]] const BankProfile* FindBankProfile(int bankId);

// The whole table, in table order.
struct BankTable {
  const BankProfile* rows;
  size_t count;
  [[nodiscard]] const BankProfile* begin() const { return rows; }
  [[nodiscard]] const BankProfile* end() const { return rows + count; }
};
[[nodiscard]] BankTable AllBankProfiles();

}  // namespace corlinq
