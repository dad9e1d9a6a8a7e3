#pragma once
// Four-part version texts ("2.1.15.1203"): major, minor, build, revision, each an unsigned 32-bit
// number, compared part by part.
#include <array>
#include <cstdint>
#include <string_view>

namespace corlinq {

using VersionParts = std::array<uint32_t, 4>;

// Fills all four parts from a version text:
// - three characters or fewer: 0.0.0.0;
// - no dot: read by position, part 1 from character 1, part 2 from character 2, part 3 from
//   characters 3 and 4, part 4 from character 5 to the end ("1012345" gives 1.0.12.345);
// - otherwise split at dots: the pieces before the first, second and third dot and the piece
//   after the third dot up to a fourth dot or the end; the piece after the last dot runs to
//   the end and missing parts are 0 ("1.2" gives 1.2.0.0, "1.2.3" gives 1.2.3.0).
// Each piece is read like atoi (leading blanks, optional sign, digits up to the first other
// character, no digits 0, clamped to the int range) and stored as unsigned 32-bit ("-1" gives
// 4294967295).
void ParseVersion(std::string_view text, VersionParts& parts);

// -1 when a is older than b, 1 when newer, 0 when equal.
[[nodiscard]] int CompareVersions(const VersionParts& a, const VersionParts& b);

}  // namespace corlinq
