#pragma once
// The entries of a manifest: entry i (from 1) is the i-th "File" element, and the entry count is
// the number of child elements of the first "FileInfo" element. An entry names a file inside the
// install folder. The entry rules below are the one definition of what a manifest may list: the
// reader, the install engine and the bank's digest-tool all apply them, so nothing the tool makes
// is refused by the downloader and nothing the downloader refuses can be made.
#include <string>
#include <string_view>
#include <vector>

#include "manifest/manifest_xml.h"

namespace corlinq {

inline constexpr char kCommonManifestName[] = "Digest.xml";
// "Digest_%0.3x.xml" for the bank id (at least three lower-case hex digits).
[[nodiscard]] std::string BankManifestName(int bankId);

// The run's staging folder below the install folder; no entry may live in it.
inline constexpr char kStagingFolderName[] = "DownLoad";
// Longest name of one folder or file, and longest "Path\FileName", in UTF-16 code units (the
// file system's component limit and MAX_PATH without its terminator).
inline constexpr size_t kMaxComponentUnits = 255;
inline constexpr size_t kMaxRelativePathUnits = 259;

struct ManifestEntry {
  std::string path;      // folder below the install folder, "\" separators; empty for the top
  std::string fileName;  // the file's name
  std::string digest;    // Base64 SHA-1 (28 characters)
};

enum class EntryResult {
  kOk,
  kMissing,          // no i-th "File" element
  kInvalidPath,      // "Path" is not a safe relative folder
  kInvalidFileName,  // "FileName" missing, empty or not a plain file name
  kInvalidDigest,    // "Digest" missing or not 28 characters of Base64 SHA-1
  kReservedFolder,   // the entry lies in (or is) the staging folder
  kTooLong,          // "Path\FileName" longer than the platform allows
  kDuplicate,        // the same (Path, FileName) as an earlier entry, letter case ignored
};

[[nodiscard]] const char* EntryResultText(EntryResult result);

// ---- the entry rules ----

// A single name Windows accepts and that stays in its folder: valid UTF-8, not empty, not "." or
// "..", none of <>:"/\|?* or control characters, no trailing dot or space, at most 255 UTF-16
// units, no device name (CON, PRN, AUX, NUL, COM0-9, LPT0-9, COM¹²³, LPT¹²³, CONIN$, CONOUT$,
// with or without an extension). "a..b.txt" is a plain name.
[[nodiscard]] bool IsSafeFileName(std::string_view name);
// A folder below the install folder: empty, or names separated by single "\", with no leading or
// trailing separator and every name a safe file name.
[[nodiscard]] bool IsSafeRelativeFolder(std::string_view path);
// 27 Base64 characters and "=": the Base64 form of a 20-byte SHA-1.
[[nodiscard]] bool IsManifestDigest(std::string_view digest);
// The rules for one entry on its own.
[[nodiscard]] EntryResult CheckManifestEntry(const ManifestEntry& entry);
// Every entry, and no (Path, FileName) twice. On the first refusal: false and error names the
// entry ("entry 3 (Path \"..\\x\", FileName \"a.dll\"): invalid Path").
[[nodiscard]] bool CheckManifestEntries(const std::vector<ManifestEntry>& entries, std::string& error);

// ---- the reader ----

// CountChildElements("FileInfo", 1).
[[nodiscard]] int ManifestEntryCount(const ManifestXml& doc);

// Reads entry index (1..ManifestEntryCount) and checks it on its own. entry is filled on kOk only.
[[nodiscard]] EntryResult ReadManifestEntry(const ManifestXml& doc, int index,
                                            ManifestEntry& entry);

// Reads entries 1..count in one walk of the document and checks them with CheckManifestEntries.
// Also refused: a document without "FileInfo", and "File" elements beyond the count (a manifest
// whose files the count would leave out). On refusal: false, out is left empty and error says
// which entry and why.
[[nodiscard]] bool ReadManifestEntries(const ManifestXml& doc, std::vector<ManifestEntry>& out,
                                       std::string& error);

}  // namespace corlinq
