// The transport core over a scripted HTTP port: the port contract, query failover, progress
// texts and the download decisions.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <functional>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "protocol/bind_callback.h"
#include "protocol/download.h"
#include "protocol/envelope.h"
#include "protocol/file_digest.h"
#include "protocol/http_client.h"
#include "protocol/http_port.h"
#include "protocol/transfer_watch.h"
#include "protocol/progress_throttle.h"

namespace corlinq {
namespace {

namespace fs = std::filesystem;

// One scripted exchange: what the "stack" reports.
struct Scripted {
  int result = kNetOk;  // returned by the adapter after delivering what follows
  bool head = true;
  int status = 200;
  std::optional<uint64_t> contentLength;
  std::string body;
  size_t piece = 100000;  // adapter piece size, before the port's re-chunking
};

Scripted Respond(std::string body, int status = 200) {
  Scripted s;
  s.status = status;
  s.contentLength = body.size();
  s.body = std::move(body);
  return s;
}
Scripted Fails(int result) {
  Scripted s;
  s.result = result;
  s.head = false;
  return s;
}

class FakePort final : public HttpPort {
 public:
  // Script by URL prefix; each call takes the next entry, the last one repeats.
  std::map<std::string, std::vector<Scripted>> scripts;
  std::vector<HttpGetRequest> requests;
  std::vector<size_t> chunkSizesSeen;
  int purges = 0;
  std::function<void()> afterFirstPiece;  // runs once the sink took the first body piece

  void PurgeUrlCache(const std::string&) override { ++purges; }

 protected:
  int DoGet(const HttpGetRequest& request, HttpResponseSink& sink) override {
    requests.push_back(request);
    const Scripted* scripted = nullptr;
    for (auto& [prefix, list] : scripts) {
      if (request.url.rfind(prefix, 0) != 0) continue;
      const size_t calls = callCount_[prefix]++;
      scripted = &list[std::min(calls, list.size() - 1)];
    }
    if (!scripted) return kNetFailed;
    if (scripted->head) {
      HttpResponseHead head{scripted->status, scripted->contentLength};
      if (sink.OnHead(head) != BodyAction::kContinue) return kNetFailed;
      for (size_t at = 0; at < scripted->body.size(); at += scripted->piece) {
        const std::string piece = scripted->body.substr(at, scripted->piece);
        if (sink.OnBody(piece.data(), piece.size()) != BodyAction::kContinue) return kNetFailed;
        if (at == 0 && afterFirstPiece) afterFirstPiece();
      }
    }
    return scripted->result;
  }

 private:
  std::map<std::string, size_t> callCount_;
};

class RecordingSink final : public HttpResponseSink {
 public:
  BodyAction onHead = BodyAction::kContinue;
  std::vector<size_t> pieces;
  std::string body;
  BodyAction OnHead(const HttpResponseHead&) override { return onHead; }
  BodyAction OnBody(const char* data, size_t size) override {
    pieces.push_back(size);
    body.append(data, size);
    return BodyAction::kContinue;
  }
};

class Lines final : public TraceSink {
 public:
  std::vector<std::string> lines;
  void Trace(const std::string& line) override { lines.push_back(line); }
};

// --- The port contract -------------------------------------------------------------------------

TEST(HttpPortContract, ResultsAndBounds) {
  struct Case {
    const char* name;
    std::string url;
    Scripted scripted;
    uint64_t maxBody;
    int expected;
    bool adapterCalled;
  };
  Scripted overLong = Respond("0123456789");
  overLong.contentLength = 4;
  Scripted noHead = Fails(kNetOk);
  Scripted unknownError = Fails(7);
  Scripted chunked = Respond(std::string(5000, 'x'));
  chunked.contentLength.reset();
  const Case cases[] = {
      {"plain answer", "https://a/x", Respond("hello"), 1000, kNetOk, true},
      {"HTTP too", "HTTP://a/x", Respond("hello"), 1000, kNetOk, true},
      {"error status is still an answer", "https://a/x", Respond("page", 500), 1000, kNetOk, true},
      {"ftp refused", "ftp://a/x", Respond("x"), 1000, kNetFailed, false},
      {"no scheme refused", "a/x", Respond("x"), 1000, kNetFailed, false},
      {"no host refused", "https:///x", Respond("x"), 1000, kNetFailed, false},
      {"time-out", "https://a/x", Fails(kNetTimedOut), 1000, kNetTimedOut, true},
      {"failure", "https://a/x", Fails(kNetFailed), 1000, kNetFailed, true},
      {"odd code is a failure", "https://a/x", unknownError, 1000, kNetFailed, true},
      {"ok without a head is a failure", "https://a/x", noHead, 1000, kNetFailed, true},
      {"body past Content-Length", "https://a/x", overLong, 1000, kNetFailed, true},
      {"Content-Length past the cap", "https://a/x", Respond(std::string(2000, 'x')), 1000, kNetFailed, true},
      {"no Content-Length, body past the cap", "https://a/x", chunked, 4096, kNetFailed, true},
      {"no Content-Length, body within the cap", "https://a/x", chunked, 5000, kNetOk, true},
  };
  for (const Case& c : cases) {
    FakePort port;
    port.scripts["https://a"] = {c.scripted};
    port.scripts["HTTP://a"] = {c.scripted};
    HttpGetRequest request;
    request.url = c.url;
    request.maxBodyBytes = c.maxBody;
    RecordingSink sink;
    EXPECT_EQ(port.Get(request, sink), c.expected) << c.name;
    EXPECT_EQ(!port.requests.empty(), c.adapterCalled) << c.name;
    if (c.expected != kNetOk) continue;
    EXPECT_EQ(sink.body, c.scripted.body) << c.name;
  }
}

TEST(HttpPortContract, NonAsciiReachesTheWirePercentEncoded) {
  EXPECT_EQ(EscapeUrlForWire("https://h:1/r/867/帮助/使用说明.txt"),
            "https://h:1/r/867/%E5%B8%AE%E5%8A%A9/%E4%BD%BF%E7%94%A8%E8%AF%B4%E6%98%8E.txt");
  EXPECT_EQ(EscapeUrlForWire("https://h/a b?data=ABC&x=%41"), "https://h/a%20b?data=ABC&x=%41");
  FakePort port;
  port.scripts["https://h/"] = {Scripted{}};
  RecordingSink sink;
  HttpGetRequest request;
  request.url = "https://h/文件.txt";
  request.agent = "agent";
  (void)port.Get(request, sink);
  ASSERT_EQ(port.requests.size(), 1u);
  EXPECT_EQ(port.requests[0].url, "https://h/%E6%96%87%E4%BB%B6.txt");
}

TEST(HttpPortContract, ChunksAndSinkVerdicts) {
  FakePort port;
  Scripted big = Respond(std::string(2500, 'x'));
  big.piece = 2500;
  port.scripts["https://a"] = {big};
  HttpGetRequest request;
  request.url = "https://a/";
  request.chunkSize = 1024;
  RecordingSink sink;
  ASSERT_EQ(port.Get(request, sink), kNetOk);
  EXPECT_EQ(sink.pieces, (std::vector<size_t>{1024, 1024, 452}));

  RecordingSink stopping;
  stopping.onHead = BodyAction::kStop;
  EXPECT_EQ(port.Get(request, stopping), kNetOk);
  EXPECT_TRUE(stopping.body.empty());
  RecordingSink failing;
  failing.onHead = BodyAction::kFail;
  EXPECT_EQ(port.Get(request, failing), kNetFailed);
}

// --- Queries -----------------------------------------------------------------------------------

AppConfig ConfigWith(std::vector<std::string> list, std::string base = "https://base") {
  AppConfig config;
  config.serverList = std::move(list);
  config.serverBase = std::move(base);
  config.serverSuffix = "/sfx";
  config.requestPath = kDefaultRequestPath;
  return config;
}

TEST(SendServerRequest, FailoverTable) {
  struct Case {
    const char* name;
    std::vector<std::pair<std::string, Scripted>> servers;  // in list order
    int expected;
    std::string reply;   // "" = unchanged ("old")
    size_t contacted;    // servers tried
  };
  const Case cases[] = {
      {"first answers", {{"https://s1", Respond("r1")}, {"https://s2", Respond("r2")}}, 1, "r1", 1},
      {"two time-outs then an answer, fourth untouched",
       {{"https://s1", Fails(kNetTimedOut)}, {"https://s2", Fails(kNetTimedOut)},
        {"https://s3", Respond("r3")}, {"https://s4", Respond("r4")}},
       1, "r3", 3},
      {"failures and time-outs alike",
       {{"https://s1", Fails(kNetFailed)}, {"https://s2", Fails(kNetTimedOut)}, {"https://s3", Respond("r3")}},
       1, "r3", 3},
      {"bad scheme moves on", {{"ftp://s1", Respond("r1")}, {"https://s2", Respond("r2")}}, 1, "r2", 2},
      {"404 page is an answer", {{"https://s1", Respond("<h1>404</h1>", 404)}, {"https://s2", Respond("r2")}},
       1, "<h1>404</h1>", 1},
      {"empty body is an answer", {{"https://s1", Respond("")}}, 1, "", 1},
      {"nobody answers", {{"https://s1", Fails(kNetFailed)}, {"https://s2", Fails(kNetTimedOut)}}, 0, "old", 2},
  };
  for (const Case& c : cases) {
    FakePort port;
    std::vector<std::string> list;
    for (const auto& [base, scripted] : c.servers) {
      list.push_back(base);
      port.scripts[base] = {scripted};
    }
    const AppConfig config = ConfigWith(list);
    Lines trace;
    std::string reply = "old";
    EXPECT_EQ(SendServerRequest(config, port, trace, config.requestPath, "867", reply), c.expected) << c.name;
    EXPECT_EQ(reply, c.reply) << c.name;
    // ftp:// is refused by the port before the adapter; count the traces instead.
    EXPECT_EQ(trace.lines.size(), 1 + c.contacted) << c.name;
    for (size_t i = 0; i < c.contacted; ++i) {
      EXPECT_EQ(trace.lines[1 + i], "domain:(" + list[i] + "/sfx" + kDefaultRequestPath + ")") << c.name;
    }
  }
}

TEST(SendServerRequest, RequestShape) {
  FakePort port;
  port.scripts["https://s1"] = {Respond("r")};
  const AppConfig config = ConfigWith({"https://s1"});
  Lines trace;
  std::string reply;
  ASSERT_EQ(SendServerRequest(config, port, trace, config.requestPath, "867", reply), 1);
  ASSERT_EQ(port.requests.size(), 1u);
  const HttpGetRequest& request = port.requests[0];
  const std::string prefix = std::string("https://s1/sfx") + kDefaultRequestPath;
  ASSERT_EQ(request.url.rfind(prefix, 0), 0u);
  const std::string envelope = request.url.substr(prefix.size());
  EXPECT_EQ(envelope.size(), 340u);
  EXPECT_EQ(envelope.find_first_not_of("0123456789ABCDEF"), std::string::npos);
  std::string opened;
  ASSERT_TRUE(OpenEnvelopeToText(envelope.data(), envelope.size(), opened));
  EXPECT_EQ(opened, "867");
  EXPECT_EQ(request.agent, "Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.1; SV1; .NET CLR 2.0.50727)");
  EXPECT_EQ(request.headers, (std::vector<std::string>{"Accept: *,*/*", "Accept-Language: zh-cn",
                                                       "Content-Type: application/x-www-form-urlencoded",
                                                       "Accept-Encoding: gzip, deflate"}));
  EXPECT_EQ(request.timeouts.connectMs, 3000u);
  EXPECT_EQ(request.timeouts.sendMs, 3000u);
  EXPECT_EQ(request.timeouts.receiveMs, 3000u);
  EXPECT_EQ(request.chunkSize, 1024u);
  EXPECT_EQ(trace.lines.front(), "strSendData:(867)");
}

TEST(SendServerRequest, EmptyListMakesOneAttemptAtServerBase) {
  for (const bool answers : {false, true}) {
    FakePort port;
    port.scripts["https://base"] = {answers ? Respond("rb") : Fails(kNetTimedOut)};
    const AppConfig config = ConfigWith({}, "https://base");
    Lines trace;
    std::string reply = "old";
    EXPECT_EQ(SendServerRequest(config, port, trace, config.requestPath, "867", reply), answers ? 1 : 0);
    EXPECT_EQ(reply, answers ? "rb" : "old");
    ASSERT_EQ(port.requests.size(), 1u);
    EXPECT_EQ(port.requests[0].url.rfind(std::string("https://base/sfx") + kDefaultRequestPath, 0), 0u);
    EXPECT_EQ(trace.lines, (std::vector<std::string>{"strSendData:(867)"}));  // no "domain:("
  }
}

TEST(SendServerRequest, FailedSealSendsNothing) {
  FakePort port;
  port.scripts["https://s1"] = {Respond("r")};
  const AppConfig config = ConfigWith({"https://s1"});
  Lines trace;
  std::string reply = "old";
  EXPECT_EQ(SendServerRequest(config, port, trace, config.requestPath, "", reply), 0);
  EXPECT_TRUE(port.requests.empty());
  EXPECT_EQ(reply, "old");
}

TEST(SendServerRequest, ZeroByteEndsItsChunk) {
  // Two 1024-byte chunks; a zero in the first drops the rest of that chunk only.
  std::string body(2048, 'b');
  body.replace(0, 4, std::string("ab\0c", 4));
  FakePort port;
  port.scripts["https://s1"] = {Respond(body)};
  const AppConfig config = ConfigWith({"https://s1"});
  Lines trace;
  std::string reply;
  ASSERT_EQ(SendServerRequest(config, port, trace, config.requestPath, "867", reply), 1);
  EXPECT_EQ(reply, "ab" + std::string(1024, 'b'));
}

TEST(SendServerRequest, OversizedReplyMovesOn) {
  FakePort port;
  port.scripts["https://s1"] = {Respond(std::string(kMaxQueryReplyBytes + 1, 'A'))};
  port.scripts["https://s2"] = {Respond("r2")};
  const AppConfig config = ConfigWith({"https://s1", "https://s2"});
  Lines trace;
  std::string reply;
  EXPECT_EQ(SendServerRequest(config, port, trace, config.requestPath, "867", reply), 1);
  EXPECT_EQ(reply, "r2");
}

// --- Progress ----------------------------------------------------------------------------------

class FakeDialog final : public ProgressDisplay {
 public:
  std::vector<std::string> calls;
  void SetText(int id, const std::string& text) override { calls.push_back(StrCall("text", id, text)); }
  void RefreshControl(int id) override { calls.push_back(StrCall("refresh", id, "")); }
  void SetProgressRange(int id, uint32_t max) override { calls.push_back(StrCall("range", id, std::to_string(max))); }
  void SetProgressPos(int id, uint32_t pos) override { calls.push_back(StrCall("pos", id, std::to_string(pos))); }
  void ShowUpdates() override { calls.push_back("show"); }
 private:
  static std::string StrCall(const char* what, int id, const std::string& value) {
    return std::string(what) + " " + std::to_string(id) + (value.empty() ? "" : " " + value);
  }
};

TEST(Progress, PercentTexts) {
  const struct {
    uint64_t progress, max;
    const char* text;
  } cases[] = {{3, 8, "37.50%"}, {0, 8, "0.00%"}, {8, 8, "100.00%"}, {1, 3, "33.33%"},
               {2, 3, "66.67%"}, {0, 0, "0.00%"}, {5, 0, "0.00%"}};
  for (const auto& c : cases) EXPECT_EQ(FormatProgressPercent(c.progress, c.max), c.text);
}

TEST(Progress, BindCallbackDrivesBarAndText) {
  FakeDialog dialog;
  CBindCallback callback(dialog);
  callback.OnProgress(3, 8);
  callback.OnProgress(4, 16);  // a new range is taken over
  callback.OnProgress(uint64_t{6} << 32, uint64_t{8} << 32);
  callback.OnProgress(uint64_t{8} << 32, uint64_t{8} << 32);
  // Reports before the end are handed on at once (in a batch they would wait for its end); the
  // completing one is left to the batch, which ends after the file.
  EXPECT_EQ(dialog.calls, (std::vector<std::string>{
                              "range 1021 8", "pos 1021 3", "text 1023 37.50%", "refresh 1023", "show",
                              "range 1021 16", "pos 1021 4", "text 1023 25.00%", "refresh 1023", "show",
                              "range 1021 2147483648", "pos 1021 1610612736", "text 1023 75.00%",
                              "refresh 1023", "show", "pos 1021 2147483648", "text 1023 100.00%",
                              "refresh 1023"}));
}

// --- Progress throttle -------------------------------------------------------------------------

TEST(ProgressThrottle, FillPixels) {
  const struct {
    uint64_t bytes, total;
    int width, fill;
  } cases[] = {{0, 100, 400, 0},     {1, 100, 400, 4},   {99, 100, 400, 396},         {100, 100, 400, 400},
               {150, 100, 400, 400}, {5, 0, 400, 0},     {50, 100, 0, 0},             {1, 3, 400, 133},
               {2, 3, 400, 266},     {uint64_t{1} << 40, uint64_t{1} << 41, 401, 200}};
  for (const auto& c : cases) {
    EXPECT_EQ(ProgressFillPixels(c.bytes, c.total, c.width), c.fill) << c.bytes << "/" << c.total << " at " << c.width;
  }
}

TEST(ProgressThrottle, ShowsOnlyVisibleChangesAtMostEvery50MsAndAlwaysTheEnds) {
  // One sequence of reports per case, each "bytes/total@ms", and whether each reached the dialog.
  struct Report {
    uint64_t bytes, total, ms;
    bool shown;
  };
  const struct {
    const char* name;
    int width;
    std::vector<Report> reports;
  } cases[] = {
      {"the first report of a file, then nothing new",
       400,
       {{0, 1000000, 0, true}, {0, 1000000, 100, false}}},
      {"changes within 50 ms wait; the next one after 50 ms goes",
       400,
       {{4096, 1000000, 0, true}, {8192, 1000000, 10, false}, {12288, 1000000, 49, false}, {16384, 1000000, 50, true}}},
      {"after 50 ms, a report that changes neither text nor fill is dropped",
       400,
       {{10000, 100000000, 0, true}, {10001, 100000000, 200, false}, {20000, 100000000, 260, true}}},
      {"the completing report goes through at once",
       400,
       {{4096, 8192, 0, true}, {8192, 8192, 1, true}, {8192, 8192, 2, false}}},
      {"a new try starts again from the beginning at once",
       400,
       {{600000, 1000000, 0, true}, {4096, 1000000, 5, true}, {8192, 1000000, 6, false}}},
      {"a new range (another file through the same sink) is shown at once",
       400,
       {{3, 8, 0, true}, {4, 16, 1, true}, {16, 16, 2, true}}},
      {"only the fill changes (a wide bar, percent steps coarser): shown after 50 ms",
       1000000,
       {{0, 10000000, 0, true}, {1, 10000000, 60, false}, {10, 10000000, 70, true}}},
      {"an unknown width: the text decides",
       0,
       {{0, 1000000, 0, true}, {40, 1000000, 100, false}, {100, 1000000, 200, true}}},
      {"no length: the first report only",
       400,
       {{4096, 0, 0, true}, {8192, 0, 100, false}}},
  };
  for (const auto& c : cases) {
    ProgressThrottle throttle(c.width);
    for (size_t i = 0; i < c.reports.size(); ++i) {
      const Report& r = c.reports[i];
      EXPECT_EQ(throttle.ShouldReport(r.bytes, r.total, r.ms), r.shown) << c.name << ", report " << i;
    }
  }
}

TEST(ProgressThrottle, BindCallbackShowsAThrottledDownloadEndingAtItsExactValues) {
  FakeDialog dialog;
  uint64_t clock = 0;
  CBindCallback callback(dialog, [&clock] { return clock; });
  // 1 MiB in 4 KiB chunks, 1 ms apart: 256 reports.
  for (uint64_t at = 4096; at <= (1u << 20); at += 4096, ++clock) callback.OnProgress(at, 1u << 20);
  ASSERT_GE(dialog.calls.size(), 4u);
  EXPECT_EQ(dialog.calls[0], "range 1021 1048576");
  const std::vector<std::string> end(dialog.calls.end() - 3, dialog.calls.end());
  EXPECT_EQ(end, (std::vector<std::string>{"pos 1021 1048576", "text 1023 100.00%", "refresh 1023"}));
  // Between the ends, one update per 50 ms of the 256 ms, always on the same range.
  std::vector<std::string> positions;
  for (const std::string& call : dialog.calls) {
    if (call.rfind("pos ", 0) == 0) positions.push_back(call);
    if (call.rfind("range ", 0) == 0) {
      EXPECT_EQ(call, "range 1021 1048576");
    }
  }
  EXPECT_EQ(positions, (std::vector<std::string>{"pos 1021 4096", "pos 1021 208896", "pos 1021 413696",
                                                 "pos 1021 618496", "pos 1021 823296", "pos 1021 1028096",
                                                 "pos 1021 1048576"}));
}

// --- Downloads ---------------------------------------------------------------------------------

class TempDir {
 public:
  TempDir() {
    path_ = fs::temp_directory_path() / fs::u8path("corlinq_dl_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "_" + std::to_string(counter_++));
    fs::remove_all(path_);
    fs::create_directories(path_);
  }
  ~TempDir() {
    std::error_code error;
    fs::remove_all(path_, error);
  }
  [[nodiscard]] std::string File(const std::string& name) const { return (path_ / fs::u8path(name)).u8string(); }
  [[nodiscard]] std::vector<std::string> Names() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(path_)) names.push_back(entry.path().filename().u8string());
    return names;
  }

 private:
  static inline int counter_ = 0;
  fs::path path_;
};

std::optional<std::string> ReadFile(const std::string& path) {
  std::ifstream in(fs::u8path(path), std::ios::binary);
  if (!in) return std::nullopt;
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream(fs::u8path(path), std::ios::binary) << content;
}

class ProgressLog final : public DownloadProgressSink {
 public:
  std::vector<std::pair<uint64_t, uint64_t>> calls;
  void OnProgress(uint64_t progress, uint64_t max) override { calls.emplace_back(progress, max); }
};

TEST(Download, DecisionTable) {
  const std::string fresh(10000, 'n');
  const std::string freshDigest = DigestBase64(fresh);
  const std::string old = "old content";
  Scripted shortBody = Respond(fresh);
  shortBody.body.resize(6000);
  Scripted longBody = Respond(fresh + "extra");
  longBody.contentLength = fresh.size();
  Scripted dropped = Respond(fresh);
  dropped.body.resize(5000);
  dropped.result = kNetFailed;
  Scripted chunked = Respond(fresh);
  chunked.contentLength.reset();
  Scripted emptyChunked = Respond("");
  emptyChunked.contentLength.reset();
  Scripted overCap = Respond(std::string(20000, 'x'));

  struct Case {
    const char* name;
    std::vector<Scripted> tries;
    std::optional<std::string> existing;
    std::string digest;
    bool expected;
    size_t tries_made;
    std::optional<std::string> result;  // file content afterwards (nullopt: no file)
  };
  const Case cases[] = {
      {"200 stores the body", {Respond(fresh)}, std::nullopt, "", true, 1, fresh},
      {"200 replaces an old file", {Respond(fresh)}, old, "", true, 1, fresh},
      {"matching digest", {Respond(fresh)}, std::nullopt, freshDigest, true, 1, fresh},
      {"digest mismatch five times, old kept", {Respond(fresh + "!")}, old, freshDigest, false, 5, old},
      {"digest mismatch, nothing stored", {Respond(fresh + "!")}, std::nullopt, freshDigest, false, 5, std::nullopt},
      {"short body then good", {shortBody, Respond(fresh)}, old, "", true, 2, fresh},
      {"short body always, old kept", {shortBody}, old, "", false, 5, old},
      {"body past Content-Length", {longBody}, std::nullopt, "", false, 5, std::nullopt},
      {"dropped mid-body", {dropped}, old, "", false, 5, old},
      {"time-outs then good", {Fails(kNetTimedOut), Fails(kNetTimedOut), Respond(fresh)}, std::nullopt, "", true, 3, fresh},
      {"time-outs only: three tries, not five", {Fails(kNetTimedOut)}, old, "", false, 3, old},
      {"failures do not count as time-outs", {Fails(kNetTimedOut), Fails(kNetFailed), Fails(kNetTimedOut), Fails(kNetFailed), Respond(fresh)}, std::nullopt, "", true, 5, fresh},
      {"chunked with a body fails", {chunked}, std::nullopt, "", false, 5, std::nullopt},
      {"chunked empty body gives an empty file", {emptyChunked}, std::nullopt, "", true, 1, std::string()},
      {"past the cap", {overCap}, std::nullopt, "", false, 5, std::nullopt},
      {"404 with an existing file", {Respond("nf", 404)}, old, "", true, 1, old},
      {"404 without a file", {Respond("nf", 404)}, std::nullopt, "", false, 5, std::nullopt},
      {"404, existing file matches digest", {Respond("nf", 404)}, fresh, freshDigest, true, 1, fresh},
      {"404, existing file does not match", {Respond("nf", 404)}, old, freshDigest, false, 5, old},
      {"not http", {Respond(fresh)}, std::nullopt, "", false, 0, std::nullopt},
  };
  for (const Case& c : cases) {
    TempDir dir;
    const std::string path = dir.File("文件.bin");
    if (c.existing) WriteFile(path, *c.existing);
    FakePort port;
    const std::string url = std::string(c.name) == "not http" ? "file:///x" : "https://files/a/文件.bin";
    port.scripts["https://files"] = c.tries;
    DownloadOptions options;
    options.expectedDigest = c.digest;
    options.maxBytes = 15000;
    ProgressLog progress;
    EXPECT_EQ(DownloadFile(port, url, path, &progress, options), c.expected) << c.name;
    EXPECT_EQ(port.requests.size(), c.tries_made) << c.name;
    // The cache entry goes once, before the first try; the requests do not write the cache.
    EXPECT_EQ(port.purges, 1) << c.name;
    EXPECT_EQ(ReadFile(path), c.result) << c.name;
    // Nothing but the destination is left in the folder.
    const std::vector<std::string> expectedNames =
        c.result ? std::vector<std::string>{"文件.bin"} : std::vector<std::string>{};
    EXPECT_EQ(dir.Names(), expectedNames) << c.name;
    for (const HttpGetRequest& request : port.requests) {
      EXPECT_TRUE(request.headers.empty()) << c.name;
      EXPECT_GE(request.chunkSize, 64u * 1024) << c.name;
      // Every try is bounded: connect, gaps between bytes, a minimum rate, abandonment.
      EXPECT_GT(request.timeouts.connectMs, 0u) << c.name;
      EXPECT_GT(request.timeouts.receiveMs, 0u) << c.name;
      EXPECT_GT(request.lowSpeed.bytesPerSecond, 0u) << c.name;
      EXPECT_GT(request.lowSpeed.windowMs, 0u) << c.name;
      EXPECT_NE(request.abandon, nullptr) << c.name;
    }
  }
}

TEST(Download, ProgressPerChunk) {
  TempDir dir;
  FakePort port;
  constexpr uint64_t kChunk = kDownloadChunkBytes;
  constexpr uint64_t kSize = 2 * kChunk + 1000;
  port.scripts["https://files"] = {Respond(std::string(kSize, 'z'))};
  port.scripts["https://files"][0].piece = kSize;  // the stack hands it over in one piece
  ProgressLog progress;
  ASSERT_EQ(DownloadOnce(port, "https://files/x", dir.File("x"), &progress), kNetOk);
  EXPECT_EQ(progress.calls, (std::vector<std::pair<uint64_t, uint64_t>>{{kChunk, kSize}, {2 * kChunk, kSize}, {kSize, kSize}}));
}

// Bodies past the inline limit are hashed on another thread: the digest still decides, and a
// failed try still leaves nothing behind.
TEST(Download, LongBodiesHashedOnAnotherThread) {
  std::string fresh(3 * BackgroundSha1Digester::kInlineBytes + 12345, '\0');
  for (size_t i = 0; i < fresh.size(); ++i) fresh[i] = static_cast<char>(i * 131 + i / 7);
  const std::string freshDigest = DigestBase64(fresh);
  const std::string old = "old content";
  std::string tampered = fresh;
  tampered[tampered.size() - 2] ^= 1;
  Scripted dropped = Respond(fresh);
  dropped.body.resize(fresh.size() - BackgroundSha1Digester::kInlineBytes);
  dropped.result = kNetFailed;
  struct Case {
    const char* name;
    Scripted reply;
    std::optional<std::string> result;
  };
  const Case cases[] = {
      {"matching digest", Respond(fresh), fresh},
      {"mismatch near the end", Respond(tampered), old},
      {"dropped past the inline part", dropped, old},
  };
  for (const Case& c : cases) {
    TempDir dir;
    const std::string path = dir.File("大.bin");
    WriteFile(path, old);
    FakePort port;
    port.scripts["https://files"] = {c.reply};
    port.scripts["https://files"][0].piece = 100000;
    DownloadOptions options;
    options.expectedDigest = freshDigest;
    EXPECT_EQ(DownloadFile(port, "https://files/大.bin", path, nullptr, options), c.result == fresh) << c.name;
    EXPECT_EQ(ReadFile(path), c.result) << c.name;
    EXPECT_EQ(dir.Names(), std::vector<std::string>{"大.bin"}) << c.name;
  }
}

TEST(Download, UnwritableDestinationFails) {
  TempDir dir;
  FakePort port;
  port.scripts["https://files"] = {Respond("data")};
  EXPECT_EQ(DownloadOnce(port, "https://files/x", dir.File("missing-folder/x"), nullptr), kNetFailed);
  // A folder in the way of the destination is not replaced and does not count as a file.
  fs::create_directories(fs::u8path(dir.File("sub")));
  EXPECT_FALSE(DownloadFile(port, "https://files/x", dir.File("sub"), nullptr));
  port.scripts["https://files"] = {Respond("nf", 404)};
  EXPECT_FALSE(DownloadFile(port, "https://files/x", dir.File("sub"), nullptr));
  EXPECT_EQ(dir.Names(), std::vector<std::string>{"sub"});
}

// A 250-character file name (the longest the system takes is 255) downloads like any other:
// the temporary file beside it keeps to the limit, ends in ".part" and is gone afterwards.
TEST(Download, TemporaryNameKeepsToTheComponentLimit) {
  for (const size_t length : {size_t{5}, size_t{200}, size_t{241}, size_t{242}, size_t{250}, size_t{255}}) {
    TempDir dir;
    const std::string name = std::string(length - 4, 'n') + ".dll";
    FakePort port;
    port.scripts["https://files"] = {Respond(std::string(3 * kDownloadChunkBytes, 'd'))};
    port.scripts["https://files"][0].piece = kDownloadChunkBytes;
    std::vector<std::string> during;
    port.afterFirstPiece = [&] { during = dir.Names(); };
    EXPECT_TRUE(DownloadFile(port, "https://files/" + name, dir.File(name), nullptr)) << length;
    ASSERT_EQ(during.size(), 1u) << length;
    EXPECT_LE(during[0].size(), kMaxTempNameBytes) << length;
    EXPECT_EQ(during[0].substr(during[0].size() - 5), ".part") << length;
    EXPECT_NE(during[0], name) << length;
    EXPECT_EQ(dir.Names(), std::vector<std::string>{name}) << length;
  }
}

TEST(Download, TemporaryNames) {
  struct Case {
    std::string destination;
    uint32_t random;
    std::string expected;
  };
  const Case cases[] = {
      {"helper.dll", 0x69e33b28, "helper.dll.69e33b28.part"},
      {"网银助手.exe", 0x1, "网银助手.exe.00000001.part"},
      {std::string(241, 'a'), 0xffffffff, std::string(241, 'a') + ".ffffffff.part"},
      {std::string(242, 'a'), 0xffffffff, "ffffffff.part"},
      {std::string(250, 'a'), 0xabc, "00000abc.part"},
      // 84 Chinese characters are 252 bytes: the long form would pass 255 bytes.
      {[] { std::string s; for (int i = 0; i < 84; ++i) s += "助"; return s; }(), 0x2, "00000002.part"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(TempDownloadName(c.destination, c.random), c.expected) << c.destination.size();
    EXPECT_LE(TempDownloadName(c.destination, c.random).size(), kMaxTempNameBytes);
  }
}

// The bounds of one exchange, over a clock the test moves.
TEST(TransferWatch, Bounds) {
  using Verdict = TransferWatch::Verdict;
  using ms = std::chrono::milliseconds;
  enum class Step { kSent, kHead, kBytes, kCheck };
  struct Event {
    int atMs;
    Step step;
    uint64_t bytes;
    Verdict expected;  // of a check at that time (kCheck), or of one right after the step
  };
  struct Case {
    const char* name;
    HttpTimeouts timeouts;
    HttpLowSpeed lowSpeed;
    std::vector<Event> events;
  };
  const HttpLowSpeed kib30{1024, 30000};
  const Case cases[] = {
      {"no head within connect + receive", {1000, 1000, 2000}, {}, {
          {2999, Step::kCheck, 0, Verdict::kGoOn}, {3000, Step::kCheck, 0, Verdict::kTimedOut},
          {3001, Step::kHead, 0, Verdict::kTimedOut}}},
      {"request sent, no head within the receive time-out", {1000, 1000, 2000}, {}, {
          {500, Step::kSent, 0, Verdict::kGoOn}, {2499, Step::kCheck, 0, Verdict::kGoOn},
          {2500, Step::kCheck, 0, Verdict::kTimedOut}}},
      {"a head in time, then a gap as long as the receive time-out", {1000, 1000, 2000}, {}, {
          {2500, Step::kHead, 0, Verdict::kGoOn}, {3000, Step::kBytes, 10, Verdict::kGoOn},
          {4999, Step::kCheck, 0, Verdict::kGoOn}, {5000, Step::kCheck, 0, Verdict::kTimedOut}}},
      {"steady bytes keep a long transfer going", {1000, 1000, 2000}, kib30, {
          {10, Step::kHead, 0, Verdict::kGoOn}, {1000, Step::kBytes, 2048, Verdict::kGoOn},
          {20000, Step::kBytes, 20000, Verdict::kGoOn}, {40000, Step::kBytes, 20000, Verdict::kGoOn},
          {41500, Step::kBytes, 20000, Verdict::kGoOn}, {42000, Step::kCheck, 0, Verdict::kGoOn}}},
      {"a trickle under 1 KiB/s fails after the window", {1000, 1000, 5000}, kib30, {
          {0, Step::kHead, 0, Verdict::kGoOn}, {4000, Step::kBytes, 1000, Verdict::kGoOn},
          {8000, Step::kBytes, 1000, Verdict::kGoOn}, {12000, Step::kBytes, 1000, Verdict::kGoOn},
          {16000, Step::kBytes, 1000, Verdict::kGoOn}, {20000, Step::kBytes, 1000, Verdict::kGoOn},
          {24000, Step::kBytes, 1000, Verdict::kGoOn}, {28000, Step::kBytes, 1000, Verdict::kGoOn},
          {29999, Step::kCheck, 0, Verdict::kGoOn}, {32000, Step::kBytes, 1000, Verdict::kTooSlow},
          {60000, Step::kBytes, 100000, Verdict::kTooSlow}}},
      {"a burst and then a trickle fails a window after the burst", {1000, 1000, 5000}, kib30, {
          {0, Step::kHead, 0, Verdict::kGoOn}, {100, Step::kBytes, 1 << 20, Verdict::kGoOn},
          {4000, Step::kBytes, 100, Verdict::kGoOn}, {8000, Step::kBytes, 100, Verdict::kGoOn},
          {12000, Step::kBytes, 100, Verdict::kGoOn}, {16000, Step::kBytes, 100, Verdict::kGoOn},
          {20000, Step::kBytes, 100, Verdict::kGoOn}, {24000, Step::kBytes, 100, Verdict::kGoOn},
          {28000, Step::kBytes, 100, Verdict::kGoOn}, {32000, Step::kBytes, 100, Verdict::kGoOn},
          {34000, Step::kCheck, 0, Verdict::kTooSlow}}},
      {"a short window for tests", {1000, 1000, 5000}, {1024, 2000}, {
          {0, Step::kHead, 0, Verdict::kGoOn}, {1000, Step::kBytes, 100, Verdict::kGoOn},
          {2000, Step::kBytes, 100, Verdict::kTooSlow}}},
      {"no limits: never", {0, 0, 0}, {}, {
          {0, Step::kCheck, 0, Verdict::kGoOn}, {3600000, Step::kHead, 0, Verdict::kGoOn},
          {7200000, Step::kCheck, 0, Verdict::kGoOn}}},
  };
  for (const Case& c : cases) {
    HttpGetRequest request;
    request.timeouts = c.timeouts;
    request.lowSpeed = c.lowSpeed;
    const TransferWatch::Clock::time_point start{};
    TransferWatch watch(request, start);
    for (const Event& e : c.events) {
      const auto now = start + ms(e.atMs);
      if (e.step == Step::kSent) watch.RequestSent(now);
      if (e.step == Step::kHead) watch.HeadReceived(now);
      if (e.step == Step::kBytes) watch.BodyReceived(e.bytes, now);
      EXPECT_EQ(watch.Check(now), e.expected) << c.name << " at " << e.atMs << " ms";
    }
  }
  // An abandoned exchange ends at the next check, whatever else holds.
  std::atomic<bool> abandon{false};
  HttpGetRequest request;
  request.abandon = &abandon;
  TransferWatch watch(request, TransferWatch::Clock::time_point{});
  EXPECT_EQ(watch.Check(TransferWatch::Clock::time_point{}), TransferWatch::Verdict::kGoOn);
  abandon = true;
  EXPECT_EQ(watch.Check(TransferWatch::Clock::time_point{}), TransferWatch::Verdict::kAbandoned);
}

// --- Digests -----------------------------------------------------------------------------------

TEST(FileDigest, KnownValuesAndStreaming) {
  EXPECT_EQ(DigestBase64(""), "2jmj7l5rSw0yVb/vlWAYkK/YBwk=");
  EXPECT_EQ(DigestBase64("abc"), "qZk+NkcGgWq6PiVxeFDCbJzQ2J0=");
  TempDir dir;
  std::string big;
  for (int i = 0; i < 200000; ++i) big += static_cast<char>(i * 7);
  WriteFile(dir.File("大文件"), big);
  std::string digest;
  ASSERT_TRUE(FileDigestBase64(dir.File("大文件"), digest));
  EXPECT_EQ(digest, DigestBase64(big));
  EXPECT_EQ(digest.size(), kDigestTextLength);
  std::string untouched = "x";
  EXPECT_FALSE(FileDigestBase64(dir.File("none"), untouched));
  EXPECT_EQ(untouched, "x");
}

// The background digester gives the digest of the same bytes whatever their sizes and pieces,
// below, at and past the inline limit and across its buffers; one dropped unfinished ends.
TEST(FileDigest, BackgroundDigesterMatchesTheInlineOne) {
  constexpr size_t kInline = BackgroundSha1Digester::kInlineBytes;
  constexpr size_t kBuffer = BackgroundSha1Digester::kBufferBytes;
  std::string data(kInline + (BackgroundSha1Digester::kBuffers + 2) * kBuffer + 777, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 31 + i / 251);
  struct Case {
    size_t size;
    size_t piece;
  };
  const Case cases[] = {
      {0, 1},          {1000, 7},           {kInline, 65536},    {kInline + 1, 65536},
      {kInline + 1, kInline + 1}, {data.size(), 4096}, {data.size(), kBuffer + 3}, {data.size(), data.size()},
  };
  for (const Case& c : cases) {
    BackgroundSha1Digester digester;
    for (size_t at = 0; at < c.size; at += c.piece) {
      ASSERT_TRUE(digester.Update(data.data() + at, std::min(c.piece, c.size - at))) << c.size << "/" << c.piece;
    }
    std::string digest;
    ASSERT_TRUE(digester.Finish(digest)) << c.size << "/" << c.piece;
    EXPECT_EQ(digest, DigestBase64(std::string_view(data).substr(0, c.size))) << c.size << "/" << c.piece;
  }
  BackgroundSha1Digester unfinished;
  ASSERT_TRUE(unfinished.Update(data.data(), data.size()));
}

}  // namespace
}  // namespace corlinq
