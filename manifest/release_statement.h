#pragma once
// The release statement: one element inside each signed manifest that says which release the
// manifest belongs to, until when that release may be installed, and which companion manifest
// goes with it. It sits between the file list and the signature block, so the signature covers
// it, and readers that know nothing of it skip it (they read only the "File" elements):
//
//   <Digest>
//   <FileInfo>...</FileInfo>
//   <Release Version="2.0.0.1" Expires="2027-06-30T00:00:00Z" Manifest="Digest.xml"
//            Companion="Digest_867.xml" CompanionList="<Base64 SHA-256, 44 characters>"/>
//   <Sign>...</Sign>
//   </Digest>
//
// CompanionList is the digest of the companion manifest's file list (EntryListDigest), not of
// its bytes: each manifest names the other's list, so both can be written before either is
// signed. Expires is optional (no expiry); attributes this reader does not know are ignored.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "manifest/manifest_entries.h"
#include "manifest/manifest_xml.h"

namespace corlinq {

inline constexpr char kReleaseElement[] = "Release";

struct ReleaseStatement {
  std::string version;                // dotted decimal, one to four parts ("2.0.0.1")
  std::optional<int64_t> expiresUnix;  // seconds since 1970-01-01T00:00:00Z
  std::string manifest;               // this manifest's file name
  std::string companion;              // the companion manifest's file name
  std::string companionList;          // EntryListDigest of the companion's entries
};

enum class StatementRead {
  kAbsent,     // no Release element: a manifest made before statements existed
  kValid,      // exactly one, every attribute well formed
  kMalformed,  // more than one, or an attribute missing or not in its form
};

[[nodiscard]] const char* StatementReadText(StatementRead read);

// Base64 (standard, padded) of SHA-256 over Path "\n" FileName "\n" Digest "\n" of every entry
// in document order. Names hold no control characters, so the form is unambiguous.
[[nodiscard]] std::string EntryListDigest(const std::vector<ManifestEntry>& entries);

// "YYYY-MM-DDThh:mm:ssZ" (UTC, exactly that form) to seconds since the epoch; nullopt otherwise.
[[nodiscard]] std::optional<int64_t> ParseUtcTime(std::string_view text);
[[nodiscard]] std::string FormatUtcTime(int64_t unixSeconds);

// One to four decimal parts separated by single dots, each at most 4294967295.
[[nodiscard]] bool IsReleaseVersionText(std::string_view text);

// The element as the bank's tool writes it (no line end).
[[nodiscard]] std::string FormatReleaseElement(const ReleaseStatement& statement);

// Reads the statement of a parsed manifest; out is filled on kValid only.
[[nodiscard]] StatementRead ReadReleaseStatement(const ManifestXml& doc, ReleaseStatement& out);

}  // namespace corlinq
