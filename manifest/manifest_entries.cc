#include "manifest/manifest_entries.h"

#include "base/strings.h"

namespace corlinq {
namespace {

bool IsDeviceName(std::string_view name) {
  std::string stem = ToLowerAscii(name.substr(0, name.find('.')));
  while (!stem.empty() && stem.back() == ' ') stem.pop_back();
  if (stem == "con" || stem == "prn" || stem == "aux" || stem == "nul") return true;
  if (stem.size() == 4 && (stem.compare(0, 3, "com") == 0 || stem.compare(0, 3, "lpt") == 0) &&
      stem[3] >= '1' && stem[3] <= '9') {
    return true;
  }
  return false;
}

}  // namespace

std::string BankManifestName(int bankId) { return StrPrintf("Digest_%.3x.xml", bankId); }

const char* EntryResultText(EntryResult result) {
  switch (result) {
    case EntryResult::kOk: return "ok";
    case EntryResult::kMissing: return "missing File element";
    case EntryResult::kInvalidPath: return "invalid Path";
    case EntryResult::kInvalidFileName: return "invalid FileName";
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

int ManifestEntryCount(const ManifestXml& doc) { return doc.CountChildElements("FileInfo", 1); }

EntryResult ReadManifestEntry(const ManifestXml& doc, int index, ManifestEntry& entry) {
  if (!doc.HasElement("File", index)) return EntryResult::kMissing;
  const std::optional<std::string> path = doc.FindAttribute("File", "Path", index);
  const std::optional<std::string> name = doc.FindAttribute("File", "FileName", index);
  if (path && !IsSafeRelativeFolder(*path)) return EntryResult::kInvalidPath;
  if (!name || !IsSafeFileName(*name)) return EntryResult::kInvalidFileName;
  entry.path = path.value_or(std::string());
  entry.fileName = *name;
  entry.digest = doc.GetAttribute("File", "Digest", index);
  return EntryResult::kOk;
}

bool ReadManifestEntries(const ManifestXml& doc, std::vector<ManifestEntry>& out,
                         std::string& error) {
  out.clear();
  error.clear();
  const int count = ManifestEntryCount(doc);
  std::vector<ManifestEntry> entries;
  entries.reserve(static_cast<size_t>(count));
  for (int i = 1; i <= count; ++i) {
    ManifestEntry entry;
    const EntryResult result = ReadManifestEntry(doc, i, entry);
    if (result != EntryResult::kOk) {
      std::string shown;
      if (result == EntryResult::kInvalidPath) {
        shown = " \"" + doc.GetAttribute("File", "Path", i) + "\"";
      } else if (result == EntryResult::kInvalidFileName) {
        shown = " \"" + doc.GetAttribute("File", "FileName", i) + "\"";
      }
      error = StrPrintf("entry %d: %s", i, EntryResultText(result)) + shown;
      return false;
    }
    entries.push_back(std::move(entry));
  }
  out.swap(entries);
  return true;
}

}  // namespace corlinq
