#pragma once
// File downloads: one URL into one local file, up to five tries. The body is streamed into a
// temporary file beside the destination and moved into place only when the try succeeded (and,
// when a digest is expected, only when it matches), so a failed try leaves no partial file and
// an existing destination unchanged. Every try is bounded in time (connect, head, gaps between
// bytes, a minimum rate), and downloads can be abandoned as a whole when the run is cancelled
// or the process is told to quit: their temporary files are removed then too.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "protocol/http_port.h"

namespace corlinq {

inline constexpr int kDownloadTries = 5;
// Tries that end in a time-out (or too slow) count twice as much: after this many the download
// gives up, so that a server that stalls costs a bounded time.
inline constexpr int kDownloadTimedOutTries = 3;
inline constexpr size_t kDownloadChunkBytes = 64 * 1024;
// The time bounds of a download try unless the caller sets others.
inline constexpr HttpTimeouts kDownloadTimeouts = {10000, 10000, 15000};
inline constexpr HttpLowSpeed kDownloadLowSpeed = {1024, 30000};  // below 1 KiB/s for 30 s
// Temporary files are named "<file name>.xxxxxxxx.part", or "xxxxxxxx.part" where the long form
// would pass this many bytes (every file system the downloader meets allows 255 units).
inline constexpr size_t kMaxTempNameBytes = 255;

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
  // Zero members: the HTTP stack's defaults.
  HttpTimeouts timeouts = kDownloadTimeouts;
  HttpLowSpeed lowSpeed = kDownloadLowSpeed;
};

// One try. 0 when it ended without error: status 200 with the file verified and in place, or
// any other status with nothing written. 1 on failure (transport error, body not matching its
// Content-Length, body past maxBytes, digest mismatch, file not writable), 2 on a time-out.
[[nodiscard]] int DownloadOnce(HttpPort& port, const std::string& url, const std::string& path,
                               DownloadProgressSink* sink, const DownloadOptions& options = {});

// One try that counts only when it stored the file (status 200, verified, in place).
[[nodiscard]] bool DownloadStoredOnce(HttpPort& port, const std::string& url, const std::string& path,
                                      DownloadProgressSink* sink, const DownloadOptions& options = {});

// Up to kDownloadTries tries (fewer once kDownloadTimedOutTries of them timed out), the URL purged
// from the stack's cache once before the first. True when a try stored the file, or when the server answered with another status than 200 and the file
// already at path is acceptable: a regular file, and with an expected digest one that matches.
// path is UTF-8.
[[nodiscard]] bool DownloadFile(HttpPort& port, const std::string& url, const std::string& path,
                                DownloadProgressSink* sink, const DownloadOptions& options = {});

// The same over the platform's HTTP stack with the default bounds.
[[nodiscard]] bool DownloadFile(const std::string& url, const std::string& path,
                                DownloadProgressSink* sink, const std::string& expectedDigest = {});

// The temporary file a download of destination writes first: in the same folder, with a name of
// at most kMaxTempNameBytes bytes that ends in ".part". random picks the eight hex digits.
[[nodiscard]] std::string TempDownloadName(const std::string& destinationName, uint32_t random);

// Ends every download under way and every later one in this process: each fails, and its
// temporary file is removed. Waits up to wait for the downloads under way to end, calling pump
// (when set) about every 10 ms meanwhile (the caller's thread may have to serve what a
// downloading thread waits on), then removes the temporary files of any that are still running.
void AbandonDownloads(std::chrono::milliseconds wait, const std::function<void()>& pump = {});

// True once AbandonDownloads was called.
[[nodiscard]] bool DownloadsAbandoned();

}  // namespace corlinq
