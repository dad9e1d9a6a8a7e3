#include "config/bank_profile.h"

namespace corlinq {
namespace {

#define SERVERS(a, b, c, d) \
  std::array<const char*, 4> { a, b, c, d }
#define NO_SERVERS \
  std::array<const char*, 4> {}
#define BANK_ROW(id, name, base, servers, legacy) BankProfile{id, name, base, servers, legacy},

constexpr BankProfile kBankTable[] = {
#include CORLINQ_BANK_TABLE
};

#undef BANK_ROW
#undef NO_SERVERS
#undef SERVERS

}  // namespace

const BankProfile* FindBankProfile(int bankId) {
  for (const BankProfile& row : kBankTable) {
    if (row.bankId == bankId) return &row;
  }
  return nullptr;
}

BankTable AllBankProfiles() { return {kBankTable, sizeof(kBankTable) / sizeof(kBankTable[0])}; }

}  // namespace corlinq
