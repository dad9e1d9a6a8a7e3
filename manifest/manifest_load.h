#pragma once
// A manifest file read as the install engine uses it: its entries under the entry rules
// (manifest/manifest_entries.h) and its release statement (manifest/release_statement.h).
#include <string>
#include <vector>

#include "manifest/manifest_entries.h"
#include "manifest/release_statement.h"

namespace corlinq {

struct ManifestLoad {
  enum class Status {
    kLoaded,        // entries holds every entry, in document order
    kUnloadable,    // the file is missing or not well-formed XML: no entries
    kInvalidEntry,  // no "FileInfo", an entry the rules refuse, or "File" elements the count
                    // leaves out: no entries
  };
  Status status = Status::kUnloadable;
  std::vector<ManifestEntry> entries;
  // The manifest's release statement; statement is filled when release is kValid.
  StatementRead release = StatementRead::kAbsent;
  ReleaseStatement statement{};
  std::string error{};  // why it is not kLoaded, for the trace
};

// Reads and checks the manifest file at path (UTF-8): the loader behind the engine's manifest
// port. The signature is not checked here.
[[nodiscard]] ManifestLoad LoadManifestFile(const std::string& path);
// The same for a manifest's text in memory.
[[nodiscard]] ManifestLoad LoadManifestText(const std::string& text);

}  // namespace corlinq
