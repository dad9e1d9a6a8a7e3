#include "protocol/download.h"

#include <atomic>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <system_error>
#include <thread>

#include "base/strings.h"
#include "protocol/file_digest.h"

namespace corlinq {
namespace fs = std::filesystem;

namespace {

struct TryOutcome {
  int result = kNetFailed;
  bool stored = false;  // the file at the destination came from this try
};

// Set once by AbandonDownloads; every exchange watches it.
std::atomic<bool> g_abandoned{false};

// The temporary files of the downloads under way in this process.
std::mutex g_tempsMutex;
std::set<fs::path> g_temps;

// A free temporary name beside destination, registered as in use.
fs::path ClaimTempPathBeside(const fs::path& destination) {
  static thread_local std::mt19937 generator{std::random_device{}()};
  const std::string name = destination.filename().u8string();
  for (;;) {
    const fs::path temp = destination.parent_path() / fs::u8path(TempDownloadName(name, generator()));
    std::error_code error;
    const std::lock_guard<std::mutex> lock(g_tempsMutex);
    if (g_temps.count(temp) != 0 || fs::exists(fs::symlink_status(temp, error))) continue;
    g_temps.insert(temp);
    return temp;
  }
}

void ReleaseTempPath(const fs::path& temp) {
  const std::lock_guard<std::mutex> lock(g_tempsMutex);
  g_temps.erase(temp);
}

// Moves from over to, replacing a regular file there. Some runtimes refuse to rename over an
// existing file; the old one is then removed first.
bool MoveIntoPlace(const fs::path& from, const fs::path& to) {
  std::error_code error;
  fs::rename(from, to, error);
  if (!error) return true;
  if (!fs::is_regular_file(to, error)) return false;
  if (!fs::remove(to, error) || error) return false;
  fs::rename(from, to, error);
  return !error;
}

// Streams a 200 answer into a temporary file and keeps its running digest.
class FileBodySink final : public HttpResponseSink {
 public:
  FileBodySink(fs::path destination, DownloadProgressSink* progress)
      : destination_(std::move(destination)), progress_(progress) {}
  ~FileBodySink() override { Discard(); }

  BodyAction OnHead(const HttpResponseHead& head) override {
    status_ = head.status;
    if (head.status != 200) return BodyAction::kStop;
    expected_ = head.contentLength.value_or(0);
    if (g_abandoned) return BodyAction::kFail;
    temp_ = ClaimTempPathBeside(destination_);
    out_.open(*temp_, std::ios::binary | std::ios::trunc);
    return out_ ? BodyAction::kContinue : BodyAction::kFail;
  }

  BodyAction OnBody(const char* data, size_t size) override {
    if (g_abandoned) return BodyAction::kFail;
    if (size > expected_ - received_) return BodyAction::kFail;  // longer than announced
    out_.write(data, static_cast<std::streamsize>(size));
    if (!out_ || !digester_.Update(data, size)) return BodyAction::kFail;
    received_ += size;
    if (progress_) progress_->OnProgress(received_, expected_);
    return BodyAction::kContinue;
  }

  // After the exchange completed: the whole body is there; verify and move it into place.
  [[nodiscard]] bool Store(const std::string& expectedDigest) {
    if (!temp_ || received_ != expected_) return false;
    out_.close();
    if (out_.fail()) return false;
    std::string digest;
    if (!digester_.Finish(digest)) return false;
    if (!expectedDigest.empty() && digest != expectedDigest) return false;
    if (g_abandoned || !MoveIntoPlace(*temp_, destination_)) return false;
    ReleaseTempPath(*temp_);
    temp_.reset();
    return true;
  }

  [[nodiscard]] int status() const { return status_; }

 private:
  void Discard() {
    if (!temp_) return;
    if (out_.is_open()) out_.close();
    std::error_code error;
    fs::remove(*temp_, error);
    ReleaseTempPath(*temp_);
    temp_.reset();
  }

  const fs::path destination_;
  DownloadProgressSink* const progress_;
  int status_ = 0;
  uint64_t expected_ = 0;
  uint64_t received_ = 0;
  std::optional<fs::path> temp_;
  std::ofstream out_;
  BackgroundSha1Digester digester_;  // long bodies are hashed beside the reads
};

TryOutcome TryDownload(HttpPort& port, const std::string& url, const std::string& path,
                       DownloadProgressSink* sink, const DownloadOptions& options) {
  HttpGetRequest request;
  request.url = url;
  request.timeouts = options.timeouts;
  request.lowSpeed = options.lowSpeed;
  request.abandon = &g_abandoned;
  request.chunkSize = kDownloadChunkBytes;
  request.maxBodyBytes = options.maxBytes;
  FileBodySink body(fs::u8path(path), sink);
  TryOutcome outcome;
  outcome.result = port.Get(request, body);
  if (outcome.result != kNetOk || body.status() != 200) return outcome;
  outcome.stored = body.Store(options.expectedDigest);
  if (!outcome.stored) outcome.result = kNetFailed;
  return outcome;
}

bool ExistingFileAcceptable(const std::string& path, const std::string& expectedDigest) {
  std::error_code error;
  if (!fs::is_regular_file(fs::u8path(path), error)) return false;
  if (expectedDigest.empty()) return true;
  std::string digest;
  return FileDigestBase64(path, digest) && digest == expectedDigest;
}

}  // namespace

std::string TempDownloadName(const std::string& destinationName, uint32_t random) {
  const std::string suffix = StrPrintf("%08x.part", static_cast<unsigned>(random));
  if (destinationName.size() + 1 + suffix.size() <= kMaxTempNameBytes) return destinationName + "." + suffix;
  return suffix;
}

void AbandonDownloads(std::chrono::milliseconds wait, const std::function<void()>& pump) {
  g_abandoned = true;
  const auto deadline = std::chrono::steady_clock::now() + wait;
  for (;;) {
    {
      const std::lock_guard<std::mutex> lock(g_tempsMutex);
      if (g_temps.empty()) return;
      if (std::chrono::steady_clock::now() >= deadline) break;
    }
    if (pump) pump();
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  // Downloads that did not end in time: their files go now, as far as the system lets them.
  const std::lock_guard<std::mutex> lock(g_tempsMutex);
  for (const fs::path& temp : g_temps) {
    std::error_code error;
    fs::remove(temp, error);
  }
}

bool DownloadsAbandoned() { return g_abandoned; }

bool DownloadStoredOnce(HttpPort& port, const std::string& url, const std::string& path,
                        DownloadProgressSink* sink, const DownloadOptions& options) {
  const TryOutcome outcome = TryDownload(port, url, path, sink, options);
  return outcome.result == kNetOk && outcome.stored;
}

int DownloadOnce(HttpPort& port, const std::string& url, const std::string& path,
                 DownloadProgressSink* sink, const DownloadOptions& options) {
  return TryDownload(port, url, path, sink, options).result;
}

bool DownloadFile(HttpPort& port, const std::string& url, const std::string& path,
                  DownloadProgressSink* sink, const DownloadOptions& options) {
  // Requests do not write the stack's cache; one purge drops an entry an older build left.
  port.PurgeUrlCache(url);
  int timedOut = 0;
  for (int attempt = 0; attempt < kDownloadTries && !g_abandoned; ++attempt) {
    const TryOutcome outcome = TryDownload(port, url, path, sink, options);
    if (outcome.result == kNetTimedOut && ++timedOut >= kDownloadTimedOutTries) break;
    if (outcome.result != kNetOk) continue;
    if (outcome.stored || ExistingFileAcceptable(path, options.expectedDigest)) return true;
  }
  return false;
}

}  // namespace corlinq
