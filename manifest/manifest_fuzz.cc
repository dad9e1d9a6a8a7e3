// Arbitrary bytes as a manifest file: the signature check with the built-in key, then the reader
// and the entry rules must neither crash nor read out of bounds.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include <unistd.h>

#include "manifest/manifest_entries.h"
#include "manifest/manifest_verify.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace corlinq;
  static const std::string path = "/tmp/corlinq_manifest_fuzz_" + std::to_string(getpid()) + ".xml";
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  if (FILE* f = std::fopen(path.c_str(), "wb")) {
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
  }
  (void)VerifyManifestFile(path, ManifestPublicKey());
  ManifestXml doc;
  if (doc.Load(path)) {
    const int count = ManifestEntryCount(doc);
    for (int i = 1; i <= count && i <= 64; ++i) {
      ManifestEntry entry;
      (void)ReadManifestEntry(doc, i, entry);
      (void)doc.GetAttribute("File", "FileName", i);
    }
    std::vector<ManifestEntry> entries;
    std::string error;
    if (count <= 64) (void)ReadManifestEntries(doc, entries, error);
  }
  (void)HexDecodeLenient(bytes.substr(0, 300));
  return 0;
}
