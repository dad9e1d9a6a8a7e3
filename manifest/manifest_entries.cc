#include "manifest/manifest_entries.h"

#include <algorithm>
#include <string_view>
#include <utility>
#include <vector>

#include "base/strings.h"

namespace corlinq {
namespace {

// Device names Windows opens as devices whatever folder they are in: the part before the first
// dot, trailing spaces dropped, compared without letter case.
bool IsDeviceName(std::string_view name) {
  std::string_view raw = name.substr(0, name.find('.'));
  while (!raw.empty() && raw.back() == ' ') raw.remove_suffix(1);
  if (raw.size() < 3 || raw.size() > 7) return false;  // "con" to "conout$"
  const std::string stem = ToLowerAscii(raw);
  if (stem == "con" || stem == "prn" || stem == "aux" || stem == "nul" || stem == "conin$" ||
      stem == "conout$") {
    return true;
  }
  if (stem.size() < 4 || (stem.compare(0, 3, "com") != 0 && stem.compare(0, 3, "lpt") != 0)) {
    return false;
  }
  const std::string_view number = std::string_view(stem).substr(3);
  if (number.size() == 1) return number[0] >= '0' && number[0] <= '9';
  // Superscript one, two and three (U+00B9, U+00B2, U+00B3) in UTF-8.
  return number == "\xC2\xB9" || number == "\xC2\xB2" || number == "\xC2\xB3";
}

// UTF-16 code units of valid UTF-8 text: one per character, two for those beyond U+FFFF.
size_t Utf16Units(std::string_view text) {
  size_t units = 0;
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if ((c & 0xC0) != 0x80) units += c >= 0xF0 ? 2 : 1;
  }
  return units;
}

bool IsBase64Character(char ch) {
  return (ch >= 'A' && ch <= 'Z') || (ch >= 'a' && ch <= 'z') || (ch >= '0' && ch <= '9') ||
         ch == '+' || ch == '/';
}

bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    const char x = a[i] >= 'A' && a[i] <= 'Z' ? static_cast<char>(a[i] - 'A' + 'a') : a[i];
    const char y = b[i] >= 'A' && b[i] <= 'Z' ? static_cast<char>(b[i] - 'A' + 'a') : b[i];
    if (x != y) return false;
  }
  return true;
}

// Appends "Path\FileName" in lower case (ASCII letters), the key two entries must not share.
void AppendLowerRelativeName(const ManifestEntry& entry, std::string& out) {
  for (const std::string* part : {&entry.path, &entry.fileName}) {
    if (part == &entry.fileName && !entry.path.empty()) out += '\\';
    for (const char ch : *part) out += ch >= 'A' && ch <= 'Z' ? static_cast<char>(ch - 'A' + 'a') : ch;
  }
}

std::string EntryError(size_t index, const ManifestEntry& entry, EntryResult result) {
  return StrPrintf("entry %lu (Path \"%s\", FileName \"%s\"): %s", static_cast<unsigned long>(index),
                   entry.path.c_str(), entry.fileName.c_str(), EntryResultText(result));
}

// The entry of one "File" element, attributes as written (checked afterwards).
ManifestEntry EntryOf(const ManifestElement& file) {
  ManifestEntry entry;
  entry.path = file.Attribute("Path").value_or(std::string());
  if (std::optional<std::string> name = file.Attribute("FileName")) {
    entry.fileName = std::move(*name);
  }
  if (std::optional<std::string> digest = file.Attribute("Digest")) {
    entry.digest = std::move(*digest);
  }
  return entry;
}

}  // namespace

std::string BankManifestName(int bankId) { return StrPrintf("Digest_%.3x.xml", bankId); }

const char* EntryResultText(EntryResult result) {
  switch (result) {
    case EntryResult::kOk: return "ok";
    case EntryResult::kMissing: return "missing File element";
    case EntryResult::kInvalidPath: return "invalid Path";
    case EntryResult::kInvalidFileName: return "invalid FileName";
    case EntryResult::kInvalidDigest: return "Digest is not a 28-character Base64 SHA-1";
    case EntryResult::kReservedFolder: return "the DownLoad folder is reserved for the downloader";
    case EntryResult::kTooLong: return "Path\\FileName is longer than 259 characters";
    case EntryResult::kDuplicate: return "listed twice (letter case ignored)";
  }
  return "unknown";
}

bool IsSafeFileName(std::string_view name) {
  if (name.empty() || name == "." || name == ".." || !IsValidUtf8(name)) return false;
  for (char ch : name) {
    const auto c = static_cast<unsigned char>(ch);
    if (c < 0x20 || c == 0x7F) return false;
    switch (ch) {
      case '<': case '>': case ':': case '"': case '/': case '\\': case '|': case '?': case '*':
        return false;
      default:
        break;
    }
  }
  if (name.back() == '.' || name.back() == ' ') return false;
  if (Utf16Units(name) > kMaxComponentUnits) return false;
  return !IsDeviceName(name);
}

bool IsSafeRelativeFolder(std::string_view path) {
  if (path.empty()) return true;
  size_t start = 0;
  while (true) {
    const size_t sep = path.find('\\', start);
    const std::string_view part =
        path.substr(start, sep == std::string_view::npos ? std::string_view::npos : sep - start);
    if (!IsSafeFileName(part)) return false;
    if (sep == std::string_view::npos) return true;
    start = sep + 1;
  }
}

bool IsManifestDigest(std::string_view digest) {
  if (digest.size() != 28 || digest[27] != '=') return false;
  for (size_t i = 0; i < 27; ++i) {
    if (!IsBase64Character(digest[i])) return false;
  }
  return true;
}

EntryResult CheckManifestEntry(const ManifestEntry& entry) {
  if (!IsSafeRelativeFolder(entry.path)) return EntryResult::kInvalidPath;
  if (!IsSafeFileName(entry.fileName)) return EntryResult::kInvalidFileName;
  const std::string_view top = entry.path.empty() ? std::string_view(entry.fileName)
                                                  : std::string_view(entry.path).substr(0, entry.path.find('\\'));
  if (EqualsIgnoringAsciiCase(top, kStagingFolderName)) return EntryResult::kReservedFolder;
  const size_t units = entry.path.empty() ? Utf16Units(entry.fileName)
                                          : Utf16Units(entry.path) + 1 + Utf16Units(entry.fileName);
  if (units > kMaxRelativePathUnits) return EntryResult::kTooLong;
  if (!IsManifestDigest(entry.digest)) return EntryResult::kInvalidDigest;
  return EntryResult::kOk;
}

bool CheckManifestEntries(const std::vector<ManifestEntry>& entries, std::string& error) {
  error.clear();
  // The rules, in order, up to the first entry they refuse.
  size_t refused = entries.size();
  EntryResult refusal = EntryResult::kOk;
  for (size_t i = 0; i < entries.size() && refused == entries.size(); ++i) {
    refusal = CheckManifestEntry(entries[i]);
    if (refusal != EntryResult::kOk) refused = i;
  }
  // The entries before it must not share a name. The names go into one buffer and are sorted
  // with their positions: a set of 100,000 strings costs more than the rest of the reading.
  size_t length = 0;
  for (size_t i = 0; i < refused; ++i) length += entries[i].path.size() + 1 + entries[i].fileName.size();
  std::string names;
  names.reserve(length);  // never grows below: the views stay valid
  std::vector<std::pair<std::string_view, size_t>> sorted;  // name and position
  sorted.reserve(refused);
  for (size_t i = 0; i < refused; ++i) {
    const size_t start = names.size();
    AppendLowerRelativeName(entries[i], names);
    sorted.emplace_back(std::string_view(names.data() + start, names.size() - start), i);
  }
  std::sort(sorted.begin(), sorted.end());
  // The first entry in list order that repeats an earlier one's name.
  size_t repeated = refused;
  for (size_t k = 1; k < sorted.size(); ++k) {
    if (sorted[k].first == sorted[k - 1].first) repeated = std::min(repeated, sorted[k].second);
  }
  if (repeated < refused) {
    error = EntryError(repeated + 1, entries[repeated], EntryResult::kDuplicate);
    return false;
  }
  if (refused < entries.size()) {
    error = EntryError(refused + 1, entries[refused], refusal);
    return false;
  }
  return true;
}

int ManifestEntryCount(const ManifestXml& doc) { return doc.CountChildElements("FileInfo", 1); }

EntryResult ReadManifestEntry(const ManifestXml& doc, int index, ManifestEntry& entry) {
  const std::vector<ManifestElement> files = doc.Elements("File");
  if (index < 1 || static_cast<size_t>(index) > files.size()) return EntryResult::kMissing;
  const ManifestElement& file = files[static_cast<size_t>(index) - 1];
  ManifestEntry read = EntryOf(file);
  const EntryResult result = CheckManifestEntry(read);
  if (result == EntryResult::kOk) entry = std::move(read);
  return result;
}

bool ReadManifestEntries(const ManifestXml& doc, std::vector<ManifestEntry>& out,
                         std::string& error) {
  out.clear();
  error.clear();
  const std::vector<ManifestElement> infos = doc.Elements("FileInfo");
  if (infos.empty()) {
    error = "no FileInfo element";
    return false;
  }
  const size_t count = static_cast<size_t>(infos.front().ChildElementCount());
  const std::vector<ManifestElement> files = doc.Elements("File");
  std::vector<ManifestEntry> entries;
  entries.reserve(count);
  for (size_t i = 0; i < count; ++i) {
    if (i >= files.size()) {
      error = StrPrintf("entry %lu: %s", static_cast<unsigned long>(i + 1),
                        EntryResultText(EntryResult::kMissing));
      return false;
    }
    entries.push_back(EntryOf(files[i]));
  }
  if (files.size() > count) {
    error = StrPrintf("%lu File elements, but FileInfo counts %lu entries", static_cast<unsigned long>(files.size()),
                      static_cast<unsigned long>(count));
    return false;
  }
  if (!CheckManifestEntries(entries, error)) return false;
  out.swap(entries);
  return true;
}

}  // namespace corlinq
