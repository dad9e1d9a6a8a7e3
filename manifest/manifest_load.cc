#include "manifest/manifest_load.h"

namespace corlinq {

ManifestLoad LoadManifestText(const std::string& text) {
  ManifestLoad load;
  ManifestXml doc;
  if (!doc.Parse(text)) {
    load.error = "not well-formed XML";
    return load;
  }
  if (!ReadManifestEntries(doc, load.entries, load.error)) {
    load.status = ManifestLoad::Status::kInvalidEntry;
    return load;
  }
  load.status = ManifestLoad::Status::kLoaded;
  load.release = ReadReleaseStatement(doc, load.statement);
  return load;
}

ManifestLoad LoadManifestFile(const std::string& path) {
  std::string bytes;
  if (!ReadWholeFile(path, bytes)) {
    ManifestLoad load;
    load.error = "cannot read the file";
    return load;
  }
  return LoadManifestText(bytes);
}

}  // namespace corlinq
