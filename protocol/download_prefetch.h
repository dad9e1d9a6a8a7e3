#pragma once
// Downloads a few files ahead of their turn. A run fetches its files one after the other and
// shows each one in the dialog; most of a small file's time is the server's answer, which a
// download started early spends while the run still shows the files before it. Each queued
// download goes to its destination as DownloadFile does (a temporary file, moved into place when
// complete and verified); Take hands its outcome to the file's turn, with the progress it made.
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "protocol/download.h"

namespace corlinq {

struct PrefetchItem {
  std::string url;
  std::string path;
  std::string expectedDigest;
};

class DownloadPrefetch {
 public:
  // One download as DownloadFile does it; the sink gets its progress.
  using Downloader = std::function<bool(const PrefetchItem&, DownloadProgressSink&)>;

  // workers: downloads at the same time; at most `limit` wait or run at once (Add refuses more).
  DownloadPrefetch(Downloader download, size_t workers, size_t limit);
  // Drops the queued downloads and waits for those under way.
  ~DownloadPrefetch();
  DownloadPrefetch(const DownloadPrefetch&) = delete;
  DownloadPrefetch& operator=(const DownloadPrefetch&) = delete;

  // Queues a download. Refused (false) when `limit` are queued or running, when the run's
  // downloads were abandoned, or when one for the same path is queued or running already: two
  // downloads to one path would race, and the later entry must win as it does in turn.
  bool Add(PrefetchItem item);

  // The file's turn. When its download was queued and has started: waits for it, passing its
  // progress on to sink (when set), and gives its outcome; with a queued download not started
  // yet, or none for this item, nothing (the caller downloads it itself). The download must
  // match in url, path and digest; one for the same path with another url or digest is dropped.
  [[nodiscard]] std::optional<bool> Take(const PrefetchItem& item, DownloadProgressSink* sink);

  // Forgets every download not taken (the run stopped early): the queued ones do not start,
  // those under way end on their own.
  void Forget();

 private:
  struct Job;
  void Work();
  void ForgetLocked();

  const Downloader download_;
  const size_t workers_;
  const size_t limit_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::shared_ptr<Job>> jobs_;  // queued, running and finished, in order
  std::vector<std::thread> threads_;
  bool stop_ = false;
};

}  // namespace corlinq
