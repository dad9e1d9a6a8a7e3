#include "protocol/download.h"

#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <system_error>

#include "base/strings.h"
#include "protocol/file_digest.h"

namespace corlinq {
namespace fs = std::filesystem;

namespace {

struct TryOutcome {
  int result = kNetFailed;
  bool stored = false;  // the file at the destination came from this try
};

fs::path TempPathBeside(const fs::path& destination) {
  static thread_local std::mt19937 generator{std::random_device{}()};
  fs::path temp = destination;
  temp += fs::u8path(StrPrintf(".%08x.part", static_cast<unsigned>(generator())));
  return temp;
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
    temp_ = TempPathBeside(destination_);
    out_.open(*temp_, std::ios::binary | std::ios::trunc);
    return out_ ? BodyAction::kContinue : BodyAction::kFail;
  }

  BodyAction OnBody(const char* data, size_t size) override {
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
    if (!MoveIntoPlace(*temp_, destination_)) return false;
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
    temp_.reset();
  }

  const fs::path destination_;
  DownloadProgressSink* const progress_;
  int status_ = 0;
  uint64_t expected_ = 0;
  uint64_t received_ = 0;
  std::optional<fs::path> temp_;
  std::ofstream out_;
  Sha1Digester digester_;
};

TryOutcome TryDownload(HttpPort& port, const std::string& url, const std::string& path,
                       DownloadProgressSink* sink, const DownloadOptions& options) {
  HttpGetRequest request;
  request.url = url;
  request.timeouts = options.timeouts;
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

int DownloadOnce(HttpPort& port, const std::string& url, const std::string& path,
                 DownloadProgressSink* sink, const DownloadOptions& options) {
  return TryDownload(port, url, path, sink, options).result;
}

bool DownloadFile(HttpPort& port, const std::string& url, const std::string& path,
                  DownloadProgressSink* sink, const DownloadOptions& options) {
  for (int attempt = 0; attempt < kDownloadTries; ++attempt) {
    port.PurgeUrlCache(url);
    const TryOutcome outcome = TryDownload(port, url, path, sink, options);
    if (outcome.result != kNetOk) continue;
    if (outcome.stored || ExistingFileAcceptable(path, options.expectedDigest)) return true;
  }
  return false;
}

}  // namespace corlinq
