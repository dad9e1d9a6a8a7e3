#include "protocol/download_prefetch.h"

#include <algorithm>
#include <chrono>

namespace corlinq {

struct DownloadPrefetch::Job {
  enum class State { kQueued, kRunning, kDone };
  PrefetchItem item;
  State state = State::kQueued;
  bool ok = false;
  uint64_t received = 0;
  uint64_t total = 0;
  bool forgotten = false;  // nobody takes it: it goes when it ends
};

namespace {

// How often a waiting turn passes the progress of the download it waits for on.
constexpr auto kProgressPeriod = std::chrono::milliseconds(50);

bool SameItem(const PrefetchItem& a, const PrefetchItem& b) {
  return a.url == b.url && a.path == b.path && a.expectedDigest == b.expectedDigest;
}

}  // namespace

DownloadPrefetch::DownloadPrefetch(Downloader download, size_t workers, size_t limit)
    : download_(std::move(download)), workers_(std::max<size_t>(workers, 1)), limit_(limit) {}

DownloadPrefetch::~DownloadPrefetch() {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
    ForgetLocked();
  }
  changed_.notify_all();
  for (std::thread& thread : threads_) thread.join();
}

bool DownloadPrefetch::Add(PrefetchItem item) {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (stop_ || DownloadsAbandoned() || jobs_.size() >= limit_) return false;
    const bool samePath = std::any_of(jobs_.begin(), jobs_.end(),
                                      [&item](const std::shared_ptr<Job>& job) { return job->item.path == item.path; });
    if (samePath) return false;
    auto job = std::make_shared<Job>();
    job->item = std::move(item);
    jobs_.push_back(std::move(job));
    if (threads_.size() < workers_) threads_.emplace_back([this] { Work(); });
  }
  changed_.notify_all();
  return true;
}

std::optional<bool> DownloadPrefetch::Take(const PrefetchItem& item, DownloadProgressSink* sink) {
  std::unique_lock<std::mutex> lock(mutex_);
  const auto found = std::find_if(jobs_.begin(), jobs_.end(),
                                  [&item](const std::shared_ptr<Job>& job) { return job->item.path == item.path; });
  if (found == jobs_.end()) return std::nullopt;
  const std::shared_ptr<Job> job = *found;
  const bool same = SameItem(job->item, item);
  if (job->state == Job::State::kQueued) {
    jobs_.erase(found);
    return std::nullopt;
  }
  // Under way or done. Another file's download to this path must end before the caller writes
  // there itself; its progress is not this file's.
  uint64_t shown = 0;
  bool shownAny = false;
  while (job->state != Job::State::kDone) {
    changed_.wait_for(lock, kProgressPeriod);
    if (same && sink && job->total > 0 && (!shownAny || job->received != shown)) {
      const uint64_t received = job->received;
      const uint64_t total = job->total;
      lock.unlock();
      sink->OnProgress(received, total);
      lock.lock();
      shown = received;
      shownAny = true;
    }
  }
  jobs_.erase(std::remove(jobs_.begin(), jobs_.end(), job), jobs_.end());
  if (!same) return std::nullopt;
  const bool ok = job->ok;
  const uint64_t total = job->total;
  lock.unlock();
  changed_.notify_all();
  // The bar ends at its exact value, as after a download in turn.
  if (ok && sink && total > 0) sink->OnProgress(total, total);
  return ok;
}

void DownloadPrefetch::Forget() {
  const std::lock_guard<std::mutex> lock(mutex_);
  ForgetLocked();
}

void DownloadPrefetch::ForgetLocked() {
  for (const std::shared_ptr<Job>& job : jobs_) job->forgotten = true;
  jobs_.erase(std::remove_if(jobs_.begin(), jobs_.end(),
                             [](const std::shared_ptr<Job>& job) { return job->state != Job::State::kRunning; }),
              jobs_.end());
}

void DownloadPrefetch::Work() {
  // Passes a download's progress to its job.
  class JobProgress final : public DownloadProgressSink {
   public:
    JobProgress(DownloadPrefetch& owner, Job& job) : owner_(owner), job_(job) {}
    void OnProgress(uint64_t progress, uint64_t progressMax) override {
      {
        const std::lock_guard<std::mutex> lock(owner_.mutex_);
        job_.received = progress;
        job_.total = progressMax;
      }
      owner_.changed_.notify_all();
    }

   private:
    DownloadPrefetch& owner_;
    Job& job_;
  };

  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    std::shared_ptr<Job> job;
    changed_.wait(lock, [this, &job] {
      if (stop_) return true;
      for (const std::shared_ptr<Job>& candidate : jobs_) {
        if (candidate->state == Job::State::kQueued) {
          job = candidate;
          return true;
        }
      }
      return false;
    });
    if (!job) return;  // stopping
    job->state = Job::State::kRunning;
    lock.unlock();
    JobProgress progress(*this, *job);
    const bool ok = !DownloadsAbandoned() && download_(job->item, progress);
    lock.lock();
    job->ok = ok;
    job->state = Job::State::kDone;
    if (job->forgotten) jobs_.erase(std::remove(jobs_.begin(), jobs_.end(), job), jobs_.end());
    changed_.notify_all();
  }
}

}  // namespace corlinq
