#pragma once
// Older assistant product lines that an installation removes first.
#include <array>

namespace corlinq {

struct LegacyProduct {
  std::array<int, 4> bankIds;   // the bank ids that select the row; unused slots are 0
  const char* statusText;       // "卸载" + short name + "老版助手"
  const char* processName;      // executable of the legacy product, ended first
  const char* uninstaller64;    // below "C:\Program Files (x86)\"
  const char* uninstaller32;    // below "C:\Program Files\"
  const char* parameters;       // "/S"
};

// The row for bankId, or null when the bank uses product-code removal.
[[nodiscard]] const LegacyProduct* FindLegacyProduct(int bankId);

}  // namespace corlinq
