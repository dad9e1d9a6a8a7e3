// The platform's HTTP stack (libcurl natively, WinINet under Wine) against real HTTPS peers on
// loopback: query failover, time-outs, error pages, and every download fault.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "protocol/download.h"
#include "protocol/file_digest.h"
#include "protocol/http_client.h"
#include "protocol/platform_transport.h"
#include "protocol/testing/peer_pattern.h"
#include "protocol/testing/peers.h"

namespace corlinq {
namespace {

namespace fs = std::filesystem;
using testing::PatternBytes;
using testing::PeerUrl;

// Passes every call on to the platform port and records the URL and result.
class CountingPort final : public HttpPort {
 public:
  std::vector<std::pair<std::string, int>> calls;
  void PurgeUrlCache(const std::string& url) override { PlatformHttpPort().PurgeUrlCache(url); }

 protected:
  int DoGet(const HttpGetRequest& request, HttpResponseSink& sink) override {
    const int result = PlatformHttpPort().Get(request, sink);
    calls.emplace_back(request.url, result);
    return result;
  }
};

class NullTrace final : public TraceSink {
 public:
  void Trace(const std::string&) override {}
};

// Peers stop before exit, while the TLS library they use is still set up.
class PeerEnvironment final : public ::testing::Environment {
 public:
  void TearDown() override { testing::StopPeers(); }
};
const auto* const kPeerEnvironment = ::testing::AddGlobalTestEnvironment(new PeerEnvironment);

class NetTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(testing::EnsurePeers(error)) << error;
  }

  static int Hits(const std::string& peer) {
    CHttpClient client(PlatformHttpPort(), kQueryAgent);
    std::string text;
    if (client.Get(PeerUrl(peer) + "/_hits", text) != kNetOk) return -1;
    return std::atoi(text.c_str());
  }
};

// The result of an attempt at a stalled peer. Wine's WinINet reports an expired receive time-out
// as a dropped connection (12030), not as 12002, so under Wine a plain failure is accepted too;
// the elapsed time shows that the time-out ended the attempt.
bool IsStallResult(int result) {
#ifdef _WIN32
  return result == kNetTimedOut || result == kNetFailed;
#else
  return result == kNetTimedOut;
#endif
}

using Clock = std::chrono::steady_clock;
double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

TEST_F(NetTest, QueryFailover) {
  struct Case {
    const char* name;
    std::vector<std::string> list;  // peer names
    std::vector<int> results;       // per attempt
  };
  const Case cases[] = {
      {"two refused, third answers", {"refused1", "refused2", "answer3", "answer4"}, {kNetFailed, kNetFailed, kNetOk}},
      {"two stalled, third answers", {"stall1", "stall2", "answer3", "answer4"}, {kNetTimedOut, kNetTimedOut, kNetOk}},
  };
  for (const Case& c : cases) {
    AppConfig config;
    for (const std::string& name : c.list) config.serverList.push_back(PeerUrl(name));
    config.requestPath = kDefaultRequestPath;
    const int fourthBefore = Hits("answer4");
    CountingPort port;
    NullTrace trace;
    std::string reply;
    const auto start = Clock::now();
    EXPECT_EQ(SendServerRequest(config, port, trace, config.requestPath, "867", reply), 1) << c.name;
    const double seconds = SecondsSince(start);
    EXPECT_EQ(reply, "answer from answer3") << c.name;
    ASSERT_EQ(port.calls.size(), c.results.size()) << c.name;
    for (size_t i = 0; i < c.results.size(); ++i) {
      if (c.results[i] == kNetTimedOut) {
        EXPECT_TRUE(IsStallResult(port.calls[i].second)) << c.name << " attempt " << i;
      } else {
        EXPECT_EQ(port.calls[i].second, c.results[i]) << c.name << " attempt " << i;
      }
      EXPECT_EQ(port.calls[i].first.rfind(PeerUrl(c.list[i]) + kDefaultRequestPath, 0), 0u) << c.name;
    }
    EXPECT_EQ(Hits("answer4"), fourthBefore) << c.name;
    // Each stalled server costs one 3 s time-out, not more.
    const int stalls = static_cast<int>(std::count(c.results.begin(), c.results.end(), kNetTimedOut));
    EXPECT_GE(seconds, stalls * 2.5) << c.name;
    EXPECT_LT(seconds, stalls * 3.0 + 4.0) << c.name;
  }
}

TEST_F(NetTest, LoneServerBaseGetsOneAttempt) {
  for (const auto& [name, expected] : {std::pair<std::string, int>{"refused1", kNetFailed}, {"stall1", kNetTimedOut}}) {
    AppConfig config;
    config.serverBase = PeerUrl(name);
    config.requestPath = kDefaultRequestPath;
    CountingPort port;
    NullTrace trace;
    std::string reply = "unchanged";
    EXPECT_EQ(SendServerRequest(config, port, trace, config.requestPath, "867", reply), 0) << name;
    EXPECT_EQ(reply, "unchanged") << name;
    ASSERT_EQ(port.calls.size(), 1u) << name;
    if (expected == kNetTimedOut) {
      EXPECT_TRUE(IsStallResult(port.calls[0].second)) << name;
    } else {
      EXPECT_EQ(port.calls[0].second, expected) << name;
    }
  }
}

TEST_F(NetTest, ErrorPagesAreAnswers) {
  for (const int status : {404, 500}) {
    AppConfig config;
    config.serverList = {PeerUrl("answer3"), PeerUrl("answer4")};
    CountingPort port;
    NullTrace trace;
    std::string reply;
    const std::string path = "/status/" + std::to_string(status) + "?data=";
    EXPECT_EQ(SendServerRequest(config, port, trace, path, "867", reply), 1) << status;
    EXPECT_EQ(reply, "<html><body>" + std::to_string(status) + " from answer3</body></html>");
    EXPECT_EQ(port.calls.size(), 1u);
  }
}

// --- Downloads ---------------------------------------------------------------------------------

class DownloadFolder {
 public:
  DownloadFolder() {
    path_ = fs::temp_directory_path() / fs::u8path("corlinq_net_" + std::to_string(std::random_device{}()));
    fs::create_directories(path_ / fs::u8path("下载"));
  }
  ~DownloadFolder() {
    std::error_code error;
    fs::remove_all(path_, error);
  }
  [[nodiscard]] std::string File() const { return (path_ / fs::u8path("下载") / fs::u8path("网银助手.bin")).u8string(); }
  [[nodiscard]] size_t EntryCount() const {
    return static_cast<size_t>(std::distance(fs::directory_iterator(path_ / fs::u8path("下载")), {}));
  }

 private:
  fs::path path_;
};

std::optional<std::string> ReadFile(const std::string& path) {
  std::ifstream in(fs::u8path(path), std::ios::binary);
  if (!in) return std::nullopt;
  return std::string(std::istreambuf_iterator<char>(in), {});
}

class LastProgress final : public DownloadProgressSink {
 public:
  uint64_t progress = 0, max = 0;
  int calls = 0;
  void OnProgress(uint64_t p, uint64_t m) override {
    progress = p;
    max = m;
    ++calls;
  }
};

TEST_F(NetTest, DownloadFaults) {
  constexpr size_t kSize = 300000;
  const std::string fresh = PatternBytes(kSize);
  const std::string old = "the file of an earlier run";
  enum class Digest { kNone, kFresh, kOld, kLonger };
  struct Case {
    const char* name;
    std::string route;
    bool existing;
    Digest digest;
    bool expected;
    std::optional<std::string> after;  // destination content afterwards; nullopt: no file
    double maxSeconds;
  };
  const std::string n = std::to_string(kSize);
  const Case cases[] = {
      {"200", "/dl/ok/" + n, false, Digest::kNone, true, fresh, 5},
      {"200 over an old file, digest checked", "/dl/ok/" + n, true, Digest::kFresh, true, fresh, 5},
      {"digest mismatch keeps the old file", "/dl/ok/" + n, true, Digest::kOld, false, old, 10},
      {"short body", "/dl/short/" + n, true, Digest::kNone, false, old, 10},
      {"dropped mid-body", "/dl/drop/" + n, false, Digest::kNone, false, std::nullopt, 10},
      {"over-long body", "/dl/long/" + n, false, Digest::kLonger, false, std::nullopt, 10},
      {"chunked body", "/dl/chunked/" + n, false, Digest::kNone, false, std::nullopt, 10},
      {"chunked empty body", "/dl/chunked/0", false, Digest::kNone, true, std::string(), 5},
      {"no Content-Length", "/dl/noclen/5000", true, Digest::kNone, false, old, 10},
      {"404 with a file", "/dl/404", true, Digest::kNone, true, old, 5},
      {"404 with a matching file", "/dl/404", true, Digest::kOld, true, old, 5},
      {"404 with a foreign file", "/dl/404", true, Digest::kFresh, false, old, 10},
      {"404 without a file", "/dl/404", false, Digest::kNone, false, std::nullopt, 10},
      {"stall mid-body", "/dl/stall/" + n, true, Digest::kNone, false, old, 5 * 3.0},
      // The stalled exchanges above were left behind by their callers; the next one is served.
      {"200 after stalled exchanges", "/dl/ok/" + n, false, Digest::kFresh, true, fresh, 5},
  };
  for (const Case& c : cases) {
    DownloadFolder folder;
    const std::string path = folder.File();
    if (c.existing) std::ofstream(fs::u8path(path), std::ios::binary) << old;
    DownloadOptions options;
    options.timeouts = {1000, 1000, 1000};
    switch (c.digest) {
      case Digest::kNone: break;
      case Digest::kFresh: options.expectedDigest = DigestBase64(fresh); break;
      case Digest::kOld: options.expectedDigest = DigestBase64(old); break;
      case Digest::kLonger: options.expectedDigest = DigestBase64(PatternBytes(kSize + 100)); break;
    }
    LastProgress progress;
    const auto start = Clock::now();
    EXPECT_EQ(DownloadFile(PlatformHttpPort(), PeerUrl("files") + c.route, path, &progress, options), c.expected)
        << c.name;
    EXPECT_LT(SecondsSince(start), c.maxSeconds) << c.name;
    EXPECT_EQ(ReadFile(path), c.after) << c.name;
    EXPECT_EQ(folder.EntryCount(), c.after ? 1u : 0u) << c.name << ": something partial was left";
    if (c.expected && c.route.rfind("/dl/ok/", 0) == 0) {
      EXPECT_EQ(progress.progress, kSize) << c.name;
      EXPECT_EQ(progress.max, kSize) << c.name;
      EXPECT_GE(progress.calls, static_cast<int>(kSize / kDownloadChunkBytes)) << c.name;
    }
  }
}

TEST_F(NetTest, FileDigestOfDownload) {
  DownloadFolder folder;
  ASSERT_TRUE(DownloadFile(PlatformHttpPort(), PeerUrl("files") + "/dl/ok/70000", folder.File(), nullptr));
  std::string digest;
  ASSERT_TRUE(FileDigestBase64(folder.File(), digest));
  EXPECT_EQ(digest, DigestBase64(PatternBytes(70000)));
}

}  // namespace
}  // namespace corlinq
