#pragma once
// File downloads: one URL into one local file, up to five tries. The body is streamed into a
// temporary file beside the destination and moved into place only when the try succeeded (and,
// when a digest is expected, only when it matches), so a failed try leaves no partial file and
// an existing destination unchanged.
#include <cstddef>
#include <cstdint>
#include <string>

#include "protocol/http_port.h"

namespace corlinq {

inline constexpr int kDownloadTries = 5;
inline constexpr size_t kDownloadChunkBytes = 4096;

// Receives the progress of one download: bytes so far and the Content-Length (0 when the
// answer has none). Called on the downloading thread after every chunk.
class DownloadProgressSink {
 public:
  virtual ~DownloadProgressSink() = default;
  virtual void OnProgress(uint64_t progress, uint64_t progressMax) = 0;
};

struct DownloadOptions {
  // Base64 SHA-1 (28 characters) the file must have, as a manifest lists it; empty: no check.
  std::string expectedDigest;
  // A body larger than this is cut off and fails the try.
  uint64_t maxBytes = kDefaultMaxBodyBytes;
  // Zero: the HTTP stack's defaults.
  HttpTimeouts timeouts;
};

// One try. 0 when it ended without error: status 200 with the file verified and in place, or
// any other status with nothing written. 1 on failure (transport error, body not matching its
// Content-Length, body past maxBytes, digest mismatch, file not writable), 2 on a time-out.
[[nodiscard]] int DownloadOnce(HttpPort& port, const std::string& url, const std::string& path,
                               DownloadProgressSink* sink, const DownloadOptions& options = {});

// Up to kDownloadTries tries, the URL purged from the stack's cache before each. True when a
// try stored the file, or when the server answered with another status than 200 and the file
// already at path is acceptable: a regular file, and with an expected digest one that matches.
// path is UTF-8.
[[nodiscard]] bool DownloadFile(HttpPort& port, const std::string& url, const std::string& path,
                                DownloadProgressSink* sink, const DownloadOptions& options = {});

// The same over the platform's HTTP stack with its default time-outs.
[[nodiscard]] bool DownloadFile(const std::string& url, const std::string& path,
                                DownloadProgressSink* sink, const std::string& expectedDigest = {});

}  // namespace corlinq
