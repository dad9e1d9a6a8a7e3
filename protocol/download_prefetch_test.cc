// Downloads ahead of their turn: what a turn gets from a download queued for it.
#include "protocol/download_prefetch.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace corlinq {
namespace {

// Downloads that report a tenth of their length, then wait for their URL's gate (when it has
// one) and end with the whole length and the outcome set for them.
class Downloads {
 public:
  std::set<std::string> gated;
  std::map<std::string, bool> outcomes;  // default: success

  DownloadPrefetch::Downloader Downloader() {
    return [this](const PrefetchItem& item, DownloadProgressSink& sink) {
      std::unique_lock<std::mutex> lock(mutex_);
      started_.push_back(item.url);
      changed_.notify_all();
      lock.unlock();
      sink.OnProgress(100, 1000);
      lock.lock();
      changed_.wait(lock, [&] { return gated.count(item.url) == 0; });
      ended_.insert(item.url);
      lock.unlock();
      sink.OnProgress(1000, 1000);
      const auto outcome = outcomes.find(item.url);
      return outcome == outcomes.end() || outcome->second;
    };
  }
  void WaitStarted(const std::string& url) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return StartedLocked(url); });
  }
  void Open(const std::string& url) {
    const std::lock_guard<std::mutex> lock(mutex_);
    gated.erase(url);
    changed_.notify_all();
  }
  // Opens the gate from another thread after a while, as a server's answer arrives.
  std::thread OpenLater(const std::string& url) {
    return std::thread([this, url] {
      std::this_thread::sleep_for(std::chrono::milliseconds(150));
      Open(url);
    });
  }
  bool Started(const std::string& url) {
    const std::lock_guard<std::mutex> lock(mutex_);
    return StartedLocked(url);
  }
  bool Ended(const std::string& url) {
    const std::lock_guard<std::mutex> lock(mutex_);
    return ended_.count(url) != 0;
  }

 private:
  bool StartedLocked(const std::string& url) const {
    return std::find(started_.begin(), started_.end(), url) != started_.end();
  }
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> started_;
  std::set<std::string> ended_;
};

class Recorder final : public DownloadProgressSink {
 public:
  std::vector<std::pair<uint64_t, uint64_t>> reports;
  void OnProgress(uint64_t progress, uint64_t progressMax) override { reports.emplace_back(progress, progressMax); }
};

PrefetchItem Item(const std::string& name, const std::string& digest = "D") { return {"u/" + name, "p/" + name, digest}; }

TEST(DownloadPrefetch, ATurnWaitsForItsDownloadShowingItsProgressToTheExactEnd) {
  Downloads downloads;
  downloads.gated = {"u/a"};
  DownloadPrefetch ahead(downloads.Downloader(), 1, 4);
  ASSERT_TRUE(ahead.Add(Item("a")));
  downloads.WaitStarted("u/a");
  std::thread answer = downloads.OpenLater("u/a");
  Recorder shown;
  EXPECT_EQ(ahead.Take(Item("a"), &shown), std::optional<bool>(true));
  answer.join();
  ASSERT_GE(shown.reports.size(), 2u);
  EXPECT_EQ(shown.reports.front(), std::make_pair(uint64_t{100}, uint64_t{1000}));  // while it waited
  EXPECT_EQ(shown.reports.back(), std::make_pair(uint64_t{1000}, uint64_t{1000}));
  // Taken: the file is the caller's again.
  EXPECT_EQ(ahead.Take(Item("a"), &shown), std::nullopt);
}

TEST(DownloadPrefetch, WhatATurnGets) {
  Downloads downloads;
  downloads.gated = {"u/busy"};
  downloads.outcomes["u/bad"] = false;
  DownloadPrefetch ahead(downloads.Downloader(), 1, 8);
  ASSERT_TRUE(ahead.Add(Item("busy")));
  ASSERT_TRUE(ahead.Add(Item("queued")));  // the one helper is busy: this one waits
  downloads.WaitStarted("u/busy");

  // Not started yet: the turn downloads it itself, and the queued one never starts.
  EXPECT_EQ(ahead.Take(Item("queued"), nullptr), std::nullopt);
  // Nothing queued for it.
  EXPECT_EQ(ahead.Take(Item("other"), nullptr), std::nullopt);
  // Another file's download to the same path (another digest) must end before the turn writes
  // there; what it got is not this file's.
  std::thread answer = downloads.OpenLater("u/busy");
  EXPECT_EQ(ahead.Take(Item("busy", "E"), nullptr), std::nullopt);
  EXPECT_TRUE(downloads.Ended("u/busy"));
  answer.join();
  // A failed early download: the turn tries again itself.
  ASSERT_TRUE(ahead.Add(Item("bad")));
  downloads.WaitStarted("u/bad");
  EXPECT_EQ(ahead.Take(Item("bad"), nullptr), std::optional<bool>(false));
  EXPECT_FALSE(downloads.Started("u/queued"));
}

TEST(DownloadPrefetch, AddRefusesASecondDownloadToAPathAndMoreThanItsLimit) {
  Downloads downloads;
  downloads.gated = {"u/a"};
  DownloadPrefetch ahead(downloads.Downloader(), 1, 2);
  EXPECT_TRUE(ahead.Add(Item("a")));
  EXPECT_FALSE(ahead.Add({"u/elsewhere", "p/a", "D"}));
  EXPECT_TRUE(ahead.Add(Item("b")));
  EXPECT_FALSE(ahead.Add(Item("c")));  // two held already
  downloads.WaitStarted("u/a");
  // Forgotten: b never starts, a ends on its own, and the room is free again.
  ahead.Forget();
  EXPECT_TRUE(ahead.Add(Item("c")));
  downloads.Open("u/a");
  downloads.WaitStarted("u/c");
  EXPECT_EQ(ahead.Take(Item("c"), nullptr), std::optional<bool>(true));
  EXPECT_FALSE(downloads.Started("u/b"));
}

}  // namespace
}  // namespace corlinq
