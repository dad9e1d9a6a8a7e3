#pragma once
// The entries of a manifest: entry i (from 1) is the i-th "File" element, and the entry count is
// the number of child elements of the first "FileInfo" element. An entry names a file inside the
// install folder; one that could reach outside it is refused here, so every reader is protected.
#include <string>
#include <string_view>
#include <vector>

#include "manifest/manifest_xml.h"

namespace corlinq {

inline constexpr char kCommonManifestName[] = "Digest.xml";
// "Digest_%0.3x.xml" for the bank id (at least three lower-case hex digits).
[[nodiscard]] std::string BankManifestName(int bankId);

struct ManifestEntry {
  std::string path;      // folder below the install folder, "\" separators; empty for the top
  std::string fileName;  // the file's name
  std::string digest;    // Base64 SHA-1 (28 characters); empty when the attribute is missing
};

enum class EntryResult {
  kOk,
  kMissing,          // no i-th "File" element
  kInvalidPath,      // "Path" is not a safe relative folder
  kInvalidFileName,  // "FileName" missing, empty or not a plain file name
};

[[nodiscard]] const char* EntryResultText(EntryResult result);

// CountChildElements("FileInfo", 1).
[[nodiscard]] int ManifestEntryCount(const ManifestXml& doc);

// Reads entry index (1..ManifestEntryCount). entry is filled on kOk only.
[[nodiscard]] EntryResult ReadManifestEntry(const ManifestXml& doc, int index,
                                            ManifestEntry& entry);

// Reads entries 1..count. On the first entry that is not kOk: false, out is left empty and
// error says which entry and why ("entry 3: invalid Path \"..\\x\"").
[[nodiscard]] bool ReadManifestEntries(const ManifestXml& doc, std::vector<ManifestEntry>& out,
                                       std::string& error);

// A folder below the install folder: empty, or names separated by single "\", with no leading or
// trailing separator and every name a safe file name.
[[nodiscard]] bool IsSafeRelativeFolder(std::string_view path);
// A single name Windows accepts and that stays in its folder: valid UTF-8, not empty, not "." or
// "..", none of <>:"/\|?* or control characters, no trailing dot or space, no device name (CON,
// PRN, AUX, NUL, COM1-9, LPT1-9, with or without an extension).
[[nodiscard]] bool IsSafeFileName(std::string_view name);

}  // namespace corlinq
