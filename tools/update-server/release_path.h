#pragma once
// Mapping a request's URL path onto a file of a release folder, refusing anything that would
// leave the folder.
#include <filesystem>
#include <string>
#include <string_view>

namespace corlinq {

// Decodes %XX escapes of a URL path (not its query). '+' stays '+'. False for a malformed escape
// or an encoded zero byte.
[[nodiscard]] bool PercentDecodePath(std::string_view raw, std::string& decoded);

enum class ReleasePathResult {
  kFound,      // file holds the regular file to serve
  kNotFound,   // nothing servable there (missing, a folder, a device, ...)
  kForbidden,  // the path tries to leave the release folder
};

// Resolves `relative` (the decoded URL path below the release's prefix) inside the release
// folder `root`. Both "/" and "\" separate segments; empty and "." segments are skipped; a ".."
// segment is refused. Symbolic links are followed, but the final file must lie inside root.
[[nodiscard]] ReleasePathResult ResolveReleaseFile(const std::filesystem::path& root,
                                                   std::string_view relative,
                                                   std::filesystem::path& file);

}  // namespace corlinq
