// The real update-server process on loopback, driven over HTTPS and HTTP.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <json/json.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <regex>
#include <sstream>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include "protocol/envelope.h"
#include "tools/update-server/server_process.h"

namespace corlinq {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr const char kRequestPath[] = "/assist/server?reqtype=1&data=";
constexpr const char kChineseFolder[] = "\xE8\xB5\x84\xE6\x96\x99";     // 资料
constexpr const char kChineseFile[] = "\xE8\xAF\xB4\xE6\x98\x8E.txt";  // 说明.txt
constexpr const char kSecret[] = "secret outside the release";

std::string ReadAll(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void WriteAll(const fs::path& p, const std::string& bytes) {
  std::ofstream(p, std::ios::binary | std::ios::trunc) << bytes;
}

std::string Bytes(size_t n, unsigned seed) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 131 + seed * 7 + (i >> 9)) & 0xff);
  return s;
}

// A TCP connection over plain sockets, for what an HTTP client library would not send: partial
// headers, malformed requests, a given source address.
class RawConnection {
 public:
  // Connects to address:port, from `source` when given (any loopback address works).
  RawConnection(const std::string& address, int port, const std::string& source = "") {
    bool v6 = address.find(':') != std::string::npos;
    fd_ = socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) return;
    if (!source.empty()) {
      sockaddr_in from{};
      from.sin_family = AF_INET;
      inet_pton(AF_INET, source.c_str(), &from.sin_addr);
      if (bind(fd_, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0) Close();
    }
    if (fd_ < 0) return;
    int rc;
    if (v6) {
      sockaddr_in6 to{};
      to.sin6_family = AF_INET6;
      to.sin6_port = htons(static_cast<uint16_t>(port));
      inet_pton(AF_INET6, address.c_str(), &to.sin6_addr);
      rc = connect(fd_, reinterpret_cast<sockaddr*>(&to), sizeof to);
    } else {
      sockaddr_in to{};
      to.sin_family = AF_INET;
      to.sin_port = htons(static_cast<uint16_t>(port));
      inet_pton(AF_INET, address.c_str(), &to.sin_addr);
      rc = connect(fd_, reinterpret_cast<sockaddr*>(&to), sizeof to);
    }
    if (rc != 0) Close();
  }
  ~RawConnection() { Close(); }
  RawConnection(const RawConnection&) = delete;
  RawConnection& operator=(const RawConnection&) = delete;
  RawConnection(RawConnection&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }

  bool ok() const { return fd_ >= 0; }
  void Close() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }
  int LocalPort() const {
    sockaddr_storage a{};
    socklen_t n = sizeof a;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &n);
    return a.ss_family == AF_INET6 ? ntohs(reinterpret_cast<sockaddr_in6*>(&a)->sin6_port)
                                   : ntohs(reinterpret_cast<sockaddr_in*>(&a)->sin_port);
  }
  bool Send(const std::string& bytes) {
    return fd_ >= 0 && ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
                           static_cast<ssize_t>(bytes.size());
  }
  // True when the peer has closed the connection (or reset it) within the wait.
  bool ClosedByPeer(milliseconds wait) {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(wait.count())) <= 0) return false;
    char c;
    return recv(fd_, &c, 1, MSG_PEEK) <= 0;
  }

  struct Response {
    int status = 0;
    std::string head;  // status line and headers
    std::string body;
  };
  // Reads one response (headers, then Content-Length bytes unless `head`), waiting at most
  // `wait` for each piece. Status 0 when none came.
  Response Read(milliseconds wait, bool headRequest = false) {
    Response r;
    std::string data = pending_;
    pending_.clear();
    size_t end;
    while ((end = data.find("\r\n\r\n")) == std::string::npos) {
      if (!ReadSome(data, wait)) return r;
    }
    r.head = data.substr(0, end + 2);
    data.erase(0, end + 4);
    r.status = std::atoi(r.head.c_str() + 9);
    size_t length = 0;
    std::string lower = r.head;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](char c) { return static_cast<char>(std::tolower(c)); });
    size_t at = lower.find("\r\ncontent-length:");
    if (at != std::string::npos) length = std::strtoul(r.head.c_str() + at + 17, nullptr, 10);
    if (headRequest) length = 0;
    while (data.size() < length) {
      if (!ReadSome(data, wait)) return r;
    }
    r.body = data.substr(0, length);
    pending_ = data.substr(length);
    return r;
  }
  std::string Header(const Response& r, const std::string& name) {
    std::string lower = r.head, key = "\r\n" + name + ":";
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](char c) { return static_cast<char>(std::tolower(c)); });
    std::transform(key.begin(), key.end(), key.begin(),
                   [](char c) { return static_cast<char>(std::tolower(c)); });
    size_t at = lower.find(key);
    if (at == std::string::npos) return "";
    size_t start = r.head.find_first_not_of(' ', at + key.size());
    return r.head.substr(start, r.head.find("\r\n", start) - start);
  }

 private:
  bool ReadSome(std::string& data, milliseconds wait) {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(wait.count())) <= 0) return false;
    char buffer[16384];
    ssize_t got = recv(fd_, buffer, sizeof buffer, 0);
    if (got <= 0) return false;
    data.append(buffer, static_cast<size_t>(got));
    return true;
  }
  int fd_ = -1;
  std::string pending_;
};

// Waits (bounded) for an output line of the server that matches.
bool WaitForLogLine(const ServerProcess& server, const std::regex& pattern, std::string* found = nullptr) {
  for (int i = 0; i < 250; ++i) {
    for (const std::string& line : server.Lines()) {
      if (std::regex_search(line, pattern)) {
        if (found) *found = line;
        return true;
      }
    }
    std::this_thread::sleep_for(milliseconds(20));
  }
  return false;
}

// A working folder with a test certificate, two release folders and the configuration.
struct Workspace {
  fs::path dir;
  fs::path cert, key, config;
  fs::path release;  // bank 867

  // extraJson: more top-level members, each followed by a comma.
  static Workspace Make(const std::string& listenersJson, const std::string& extraJson = "") {
    Workspace w;
    char tmpl[] = "/tmp/update_server_net_test.XXXXXX";
    if (mkdtemp(tmpl) == nullptr) std::abort();
    w.dir = tmpl;
    std::string gen = std::string(CORLINQ_SOURCE_DIR) + "/scripts/gen-test-cert.sh " +
                      (w.dir / "certs").string();
    if (std::system(gen.c_str()) != 0) std::abort();
    w.cert = w.dir / "certs" / "server.crt";
    w.key = w.dir / "certs" / "server.key";
    w.release = w.dir / "release-867";
    fs::create_directories(w.release / "bin");
    fs::create_directories(w.release / kChineseFolder);
    fs::create_directories(w.dir / "release-1a2b");
    WriteAll(w.release / "Digest.xml", "<Digest version=\"1.0.0.2\"/>\n");
    WriteAll(w.release / "Digest_867.xml", "<Digest bank=\"867\"/>\n");
    WriteAll(w.release / "bin" / "corlinq.dll", Bytes(300 * 1024 + 17, 1));
    WriteAll(w.release / kChineseFolder / kChineseFile, "\xE4\xBD\xA0\xE5\xA5\xBD\n");
    WriteAll(w.release / "empty.dat", "");
    WriteAll(w.release / "three.bin", "abc");
    WriteAll(w.dir / "secret.txt", kSecret);
    WriteAll(w.dir / "release-1a2b" / "Digest.xml", "<Digest bank=\"1a2b\"/>\n");
    fs::create_symlink("../secret.txt", w.release / "link-out");
    fs::create_symlink("..", w.release / "dir-out");
    w.config = w.dir / "server.json";
    WriteAll(w.config, R"({
      "listeners": )" + listenersJson + R"(,
      "certificate": "certs/server.crt",
      "privateKey": "certs/server.key",
      "envelopeKey": ")" + std::string(CORLINQ_SOURCE_DIR) + R"(/keys/envelope.pem",
      "threads": 8,)" + extraJson + R"(
      "banks": {
        "867": {"version": "1.0.0.2", "update": "1", "url": "https://localhost:8443/release/867",
                "release": "release-867"},
        "1a2b": {"version": "2.3.4.5", "update": "0", "release": "release-1a2b"}
      }
    })");
    return w;
  }
};

EnvelopeKey TestKey() {
  EnvelopeKey key;
  std::string pem = ReadAll(std::string(CORLINQ_SOURCE_DIR) + "/keys/envelope.pem");
  if (!LoadEnvelopeKeyPem(pem, key)) std::abort();
  return key;
}

class UpdateServerNetTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    signal(SIGPIPE, SIG_IGN);  // a refused request may close the connection under the client
    ws_ = new Workspace(Workspace::Make(
        R"([{"address": "127.0.0.1", "port": 0, "tls": true},
            {"address": "127.0.0.1", "port": 0, "tls": false}])"));
    server_ = new ServerProcess();
    std::string error;
    ASSERT_TRUE(server_->Start({CORLINQ_UPDATE_SERVER_EXE, "--config", ws_->config.string()},
                               error))
        << error;
    ASSERT_TRUE(server_->WaitForLine("ready", seconds(20)));
    httpsPort_ = server_->ListeningPort("https", "127.0.0.1");
    httpPort_ = server_->ListeningPort("http", "127.0.0.1");
    ASSERT_GT(httpsPort_, 0);
    ASSERT_GT(httpPort_, 0);
  }
  static void TearDownTestSuite() {
    EXPECT_EQ(server_->Terminate(seconds(15)), 0);
    delete server_;
    fs::remove_all(ws_->dir);
    delete ws_;
  }

  static std::unique_ptr<httplib::SSLClient> Https() {
    auto client = std::make_unique<httplib::SSLClient>("127.0.0.1", httpsPort_);
    client->set_ca_cert_path(ws_->cert.c_str());
    client->enable_server_certificate_verification(true);
    client->set_connection_timeout(5, 0);
    client->set_read_timeout(20, 0);
    client->set_url_encode(false);
    return client;
  }
  static std::unique_ptr<httplib::Client> Http() {
    auto client = std::make_unique<httplib::Client>("127.0.0.1", httpPort_);
    client->set_connection_timeout(5, 0);
    client->set_read_timeout(20, 0);
    client->set_url_encode(false);
    return client;
  }

  // What the downloader sends with the version query.
  static httplib::Headers QueryHeaders() {
    return {{"Accept", "*,*/*"},
            {"Accept-Language", "zh-cn"},
            {"Content-Type", "application/x-www-form-urlencoded"},
            {"Accept-Encoding", "gzip, deflate"},
            {"User-Agent",
             "Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.1; SV1; .NET CLR 2.0.50727)"}};
  }

  static std::string Sealed(const std::string& text) {
    std::string envelope;
    EXPECT_TRUE(SealEnvelopeText(key_, text, envelope));
    return envelope;
  }

  static Workspace* ws_;
  static ServerProcess* server_;
  static int httpsPort_, httpPort_;
  static EnvelopeKey key_;
};

Workspace* UpdateServerNetTest::ws_ = nullptr;
ServerProcess* UpdateServerNetTest::server_ = nullptr;
int UpdateServerNetTest::httpsPort_ = 0;
int UpdateServerNetTest::httpPort_ = 0;
EnvelopeKey UpdateServerNetTest::key_ = TestKey();

TEST_F(UpdateServerNetTest, VersionQueryAnswersTheSealedReleaseOfTheBank) {
  const struct {
    const char* name;
    bool tls;
    std::string data;  // appended to the request path
    int status;
    const char* v;
    std::string url;
    const char* update;
  } cases[] = {
      {"bank 867 over https", true, Sealed("867"), 200, "1.0.0.2",
       "https://localhost:8443/release/867", "1"},
      {"bank 867 over http", false, Sealed("867"), 200, "1.0.0.2",
       "https://localhost:8443/release/867", "1"},
      {"bank id in capitals", true, Sealed("1A2B"), 200, "2.3.4.5",
       "https://127.0.0.1:" + std::to_string(httpsPort_) + "/release/1a2b", "0"},
      {"url built from the plain listener", false, Sealed("1a2b"), 200, "2.3.4.5",
       "http://127.0.0.1:" + std::to_string(httpPort_) + "/release/1a2b", "0"},
      {"unknown bank", true, Sealed("868"), 404, nullptr, "", nullptr},
      {"not a bank id", true, Sealed("{\"bank\":\"867\"}"), 404, nullptr, "", nullptr},
      {"tampered envelope", true, Sealed("867").replace(300, 2, "00"), 400, nullptr, "", nullptr},
      {"no envelope", true, "", 400, nullptr, "", nullptr},
      {"not hexadecimal", true, "hello", 400, nullptr, "", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string target = kRequestPath + c.data;
    httplib::Result res = c.tls ? Https()->Get(target.c_str(), QueryHeaders())
                                : Http()->Get(target.c_str(), QueryHeaders());
    ASSERT_TRUE(res) << httplib::to_string(res.error());
    EXPECT_EQ(res->status, c.status);
    EXPECT_FALSE(res->has_header("Content-Encoding"));
    EXPECT_FALSE(res->has_header("Transfer-Encoding"));
    EXPECT_EQ(res->get_header_value("Content-Length"), std::to_string(res->body.size()));
    if (c.status != 200) {
      EXPECT_FALSE(res->body.empty());
      continue;
    }
    std::string plaintext;
    ASSERT_TRUE(OpenEnvelopeToText(key_, res->body.data(), res->body.size(), plaintext))
        << res->body;
    Json::Value reply;
    std::istringstream in(plaintext);
    ASSERT_TRUE(Json::parseFromStream(Json::CharReaderBuilder(), in, &reply, nullptr))
        << plaintext;
    ASSERT_TRUE(reply.isObject());
    ASSERT_TRUE(reply["v"].isString() && reply["url"].isString() && reply["update"].isString())
        << plaintext;
    EXPECT_EQ(reply["v"].asString(), c.v);
    EXPECT_EQ(reply["url"].asString(), c.url);
    EXPECT_EQ(reply["update"].asString(), c.update);
  }
}

TEST_F(UpdateServerNetTest, ServesReleaseFilesWithTheirExactLength) {
  const std::string chinese = std::string("/") + kChineseFolder + "/" + kChineseFile;
  const struct {
    std::string path;
    fs::path file;
  } cases[] = {
      {"/release/867/Digest.xml", "Digest.xml"},
      {"/release/867/Digest_867.xml", "Digest_867.xml"},
      {"/release/867/bin/corlinq.dll", "bin/corlinq.dll"},
      {"/release/867/bin%5Ccorlinq.dll", "bin/corlinq.dll"},
      {"/release/867/bin\\corlinq.dll", "bin/corlinq.dll"},
      {"/release/867//bin/corlinq.dll", "bin/corlinq.dll"},
      {"/release/867" + chinese, fs::path(kChineseFolder) / kChineseFile},
      {"/release/867/%E8%B5%84%E6%96%99/%E8%AF%B4%E6%98%8E.txt",
       fs::path(kChineseFolder) / kChineseFile},
      {"/release/867/empty.dat", "empty.dat"},
      {"/release/1a2b/Digest.xml", "../release-1a2b/Digest.xml"},
  };
  for (bool tls : {true, false}) {
    for (const auto& c : cases) {
      SCOPED_TRACE((tls ? "https " : "http ") + c.path);
      // The downloader's file requests carry no extra headers; ask for compression anyway to
      // show that the server never compresses.
      httplib::Headers headers{{"Accept-Encoding", "gzip, deflate, br"}};
      auto res = tls ? Https()->Get(c.path.c_str(), headers) : Http()->Get(c.path.c_str(), headers);
      ASSERT_TRUE(res) << httplib::to_string(res.error());
      EXPECT_EQ(res->status, 200);
      std::string expected = ReadAll(ws_->release / c.file);
      EXPECT_EQ(res->get_header_value("Content-Length"), std::to_string(expected.size()));
      EXPECT_FALSE(res->has_header("Transfer-Encoding"));
      EXPECT_FALSE(res->has_header("Content-Encoding"));
      EXPECT_TRUE(res->body == expected);
    }
  }
}

TEST_F(UpdateServerNetTest, RefusesPathsThatLeaveTheReleaseFolder) {
  const struct {
    const char* path;
    int status;
  } cases[] = {
      {"/release/867/../secret.txt", 403},
      {"/release/867/%2e%2e/secret.txt", 403},
      {"/release/867/%2E%2E%2Fsecret.txt", 403},
      {"/release/867/..%5Csecret.txt", 403},
      {"/release/867/bin/..\\..\\secret.txt", 403},
      {"/release/867/bin/%2e%2e/%2e%2e/secret.txt", 403},
      {"/release/867/link-out", 403},
      {"/release/867/dir-out/secret.txt", 403},
      {"/release/867/%252e%252e/secret.txt", 404},
      {"/release/867//etc/passwd", 404},
      {"/release/867/%2Fetc%2Fpasswd", 404},
      {"/release/867/", 404},
      {"/release/867/bin", 404},
      {"/release/8670/Digest.xml", 404},
      {"/etc/passwd", 404},
      {"/secret.txt", 404},
      {"/release/867/%00", 400},
      {"/release/867/%zz", 400},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    auto res = Https()->Get(c.path);
    ASSERT_TRUE(res) << httplib::to_string(res.error());
    EXPECT_EQ(res->status, c.status);
    EXPECT_EQ(res->body.find(kSecret), std::string::npos);
    EXPECT_EQ(res->body.find("root:"), std::string::npos);
  }
  auto post = Https()->Post("/release/867/Digest.xml", "x", "text/plain");
  ASSERT_TRUE(post);
  EXPECT_EQ(post->status, 405);
}

TEST_F(UpdateServerNetTest, ConcurrentClientsAllGetTheirAnswers) {
  const std::string dll = ReadAll(ws_->release / "bin" / "corlinq.dll");
  const std::string query = kRequestPath + Sealed("867");
  constexpr int kThreads = 8, kRounds = 6;
  std::atomic<int> good{0};
  std::vector<std::thread> threads;
  auto started = std::chrono::steady_clock::now();
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int r = 0; r < kRounds; ++r) {
        // Half the clients keep one connection, half open a new one per request.
        static thread_local std::unique_ptr<httplib::SSLClient> kept;
        if (!kept || t % 2 == 1) kept = Https();
        if (r % 2 == 0) {
          auto res = kept->Get(query.c_str(), QueryHeaders());
          std::string plaintext;
          if (res && res->status == 200 &&
              OpenEnvelopeToText(key_, res->body.data(), res->body.size(), plaintext) &&
              plaintext.find("\"1.0.0.2\"") != std::string::npos) {
            ++good;
          }
        } else {
          auto res = kept->Get("/release/867/bin/corlinq.dll");
          if (res && res->status == 200 && res->body == dll) ++good;
        }
      }
      // thread_local clients die with their thread
    });
  }
  for (auto& th : threads) th.join();
  auto ms = std::chrono::duration_cast<milliseconds>(std::chrono::steady_clock::now() - started);
  EXPECT_EQ(good.load(), kThreads * kRounds);
  std::printf("%d requests from %d threads in %lld ms\n", kThreads * kRounds, kThreads,
              static_cast<long long>(ms.count()));
}

long VmHwmKb(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::atol(line.c_str() + 6);
  }
  return -1;
}

TEST_F(UpdateServerNetTest, StreamsAGibibyteFileWithoutHoldingItInMemory) {
  constexpr uint64_t kSize = 1ull << 30;
  fs::path big = ws_->release / "big.bin";
  {
    int fd = open(big.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, static_cast<off_t>(kSize)), 0);  // sparse: reads as zeros
    ASSERT_EQ(pwrite(fd, "END!", 4, static_cast<off_t>(kSize - 4)), 4);
    close(fd);
  }
  auto client = Http();
  client->set_read_timeout(60, 0);
  uint64_t received = 0;
  std::string tail;
  std::string contentLength;
  auto started = std::chrono::steady_clock::now();
  auto res = client->Get(
      "/release/867/big.bin",
      [&](const httplib::Response& r) {
        contentLength = r.get_header_value("Content-Length");
        return true;
      },
      [&](const char* data, size_t length) {
        received += length;
        tail.append(data, length);
        if (tail.size() > 8) tail.erase(0, tail.size() - 8);
        return true;
      });
  auto ms = std::chrono::duration_cast<milliseconds>(std::chrono::steady_clock::now() - started);
  ASSERT_TRUE(res) << httplib::to_string(res.error());
  EXPECT_EQ(res->status, 200);
  EXPECT_EQ(contentLength, std::to_string(kSize));
  EXPECT_EQ(received, kSize);
  EXPECT_EQ(tail.substr(tail.size() - 4), "END!");
  long hwm = VmHwmKb(server_->pid());
  EXPECT_GT(hwm, 0);
#if !defined(__SANITIZE_ADDRESS__)
  // Under AddressSanitizer freed memory sits in its quarantine (up to 256 MiB), so the peak says
  // nothing about what the server holds there.
  EXPECT_LT(hwm, 128 * 1024) << "server peak resident set in KiB";
#endif
  std::printf("1 GiB over http in %lld ms; server peak RSS %ld KiB\n",
              static_cast<long long>(ms.count()), hwm);
  fs::remove(big);
}

TEST_F(UpdateServerNetTest, LogsOneLinePerRequest) {
  auto res = Https()->Get("/release/867/Digest_867.xml");
  ASSERT_TRUE(res);
  auto missing = Https()->Get("/release/867/nothing%20here.xml");
  ASSERT_TRUE(missing);
  const std::string size = std::to_string(fs::file_size(ws_->release / "Digest_867.xml"));
  const std::regex found(
      R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z 127\.0\.0\.1:\d+ GET /release/867/Digest_867\.xml 200 )" +
      size + R"( \d+\.\d{3}ms bank=867 outcome=file)");
  const std::regex notFound(
      R"(\S+Z 127\.0\.0\.1:\d+ GET /release/867/nothing%20here\.xml 404 \d+ \d+\.\d{3}ms )"
      R"(bank=867 outcome=not-found reason="not found")");
  bool sawFound = false, sawNotFound = false;
  for (int i = 0; i < 50 && !(sawFound && sawNotFound); ++i) {
    for (const std::string& line : server_->Lines()) {
      sawFound = sawFound || std::regex_match(line, found);
      sawNotFound = sawNotFound || std::regex_match(line, notFound);
    }
    if (!(sawFound && sawNotFound)) std::this_thread::sleep_for(milliseconds(20));
  }
  EXPECT_TRUE(sawFound);
  EXPECT_TRUE(sawNotFound);
}

TEST_F(UpdateServerNetTest, LogsUnreadableRequestsAndFailedHandshakesWithTheClientAddress) {
  // A header line without a colon: the library answers 400 before any handler runs.
  RawConnection bad("127.0.0.1", httpPort_);
  ASSERT_TRUE(bad.ok());
  ASSERT_TRUE(bad.Send("GET /release/867/Digest.xml HTTP/1.1\r\nHost: x\r\nno colon here\r\n\r\n"));
  EXPECT_EQ(bad.Read(seconds(10)).status, 400);
  const int badPort = bad.LocalPort();
  // Not TLS at all on the HTTPS listener, and a connection that leaves mid-handshake.
  RawConnection notTls("127.0.0.1", httpsPort_);
  ASSERT_TRUE(notTls.Send("GET / HTTP/1.1\r\nHost: x\r\n\r\n"));
  EXPECT_TRUE(notTls.ClosedByPeer(seconds(10)));
  const int notTlsPort = notTls.LocalPort();
  RawConnection gone("127.0.0.1", httpsPort_);
  ASSERT_TRUE(gone.ok());
  const int gonePort = gone.LocalPort();
  gone.Close();

  const struct {
    const char* name;
    int port;
    std::string pattern;
  } cases[] = {
      {"unreadable request", badPort, R"( 400 \d+ [0-9.]+ms outcome=bad-request reason="[^"]+")"},
      {"not TLS", notTlsPort, R"( - - 0 0 [0-9.]+ms outcome=tls-failed reason="[^"]+")"},
      {"gone mid-handshake", gonePort, R"( - - 0 0 [0-9.]+ms outcome=tls-failed reason="[^"]+")"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::regex line("Z 127\\.0\\.0\\.1:" + std::to_string(c.port) + ".*" + c.pattern);
    EXPECT_TRUE(WaitForLogLine(*server_, line)) << [] {
      std::string all;
      for (const std::string& l : server_->Lines()) all += l + "\n";
      return all;
    }();
  }
}

TEST_F(UpdateServerNetTest, LogLinesNameTheBankAndShowNoCiphertext) {
  const std::string envelope = Sealed("868");
  auto res = Https()->Get((kRequestPath + envelope).c_str(), QueryHeaders());
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 404);
  auto ok = Http()->Get((kRequestPath + Sealed("1a2b")).c_str(), QueryHeaders());
  ASSERT_TRUE(ok);
  EXPECT_EQ(ok->status, 200);
  EXPECT_TRUE(WaitForLogLine(*server_, std::regex(R"( GET /assist/server\?reqtype=1&data=\[envelope:)" +
                                                  std::to_string(envelope.size()) +
                                                  R"(\] 404 \d+ [0-9.]+ms bank=868 outcome=unknown-bank reason="unknown bank")")));
  EXPECT_TRUE(WaitForLogLine(*server_, std::regex(R"(\[envelope:\d+\] 200 \d+ [0-9.]+ms bank=1a2b outcome=version$)")));
  for (const std::string& line : server_->Lines()) {
    EXPECT_EQ(line.find(envelope.substr(0, 64)), std::string::npos) << line;
  }
}

TEST_F(UpdateServerNetTest, AnswersRangesExactlyAndRefusesUnsatisfiableOnes) {
  const std::string dll = ReadAll(ws_->release / "bin" / "corlinq.dll");
  const std::string n = std::to_string(dll.size());
  const struct {
    const char* path;
    const char* range;
    int status;
    std::string contentRange;
    std::string body;
  } cases[] = {
      {"/release/867/bin/corlinq.dll", "bytes=0-99", 206, "bytes 0-99/" + n, dll.substr(0, 100)},
      {"/release/867/bin/corlinq.dll", "bytes=300000-", 206,
       "bytes 300000-" + std::to_string(dll.size() - 1) + "/" + n, dll.substr(300000)},
      {"/release/867/bin/corlinq.dll", "bytes=-7", 206,
       "bytes " + std::to_string(dll.size() - 7) + "-" + std::to_string(dll.size() - 1) + "/" + n,
       dll.substr(dll.size() - 7)},
      {"/release/867/three.bin", "bytes=0-3", 206, "bytes 0-2/3", "abc"},
      {"/release/867/three.bin", "bytes=1-1", 206, "bytes 1-1/3", "b"},
      {"/release/867/three.bin", "bytes=999999999-", 416, "bytes */3", ""},
      {"/release/867/three.bin", "bytes=3-", 416, "bytes */3", ""},
      {"/release/867/empty.dat", "bytes=0-", 416, "bytes */0", ""},
      {"/release/867/three.bin", "bytes=0-0,2-2", 200, "", "abc"},
      {"/release/867/three.bin", "bytes=2-1", 200, "", "abc"},
      {"/release/867/three.bin", "lines=0-1", 200, "", "abc"},
  };
  for (bool tls : {true, false}) {
    for (const auto& c : cases) {
      SCOPED_TRACE(std::string(tls ? "https " : "http ") + c.path + " " + c.range);
      httplib::Headers headers{{"Range", c.range}};
      auto res = tls ? Https()->Get(c.path, headers) : Http()->Get(c.path, headers);
      ASSERT_TRUE(res) << httplib::to_string(res.error());
      EXPECT_EQ(res->status, c.status);
      EXPECT_EQ(res->get_header_value("Content-Range"), c.contentRange);
      EXPECT_EQ(res->get_header_value("Content-Length"), std::to_string(res->body.size()));
      if (c.status != 416) {
        EXPECT_TRUE(res->body == c.body) << res->body.size() << " bytes";
        EXPECT_EQ(res->get_header_value("Accept-Ranges"), "bytes");
      }
    }
  }
  // HEAD announces the part's length and sends nothing.
  RawConnection raw("127.0.0.1", httpPort_);
  ASSERT_TRUE(raw.Send("HEAD /release/867/bin/corlinq.dll HTTP/1.1\r\nHost: x\r\nRange: bytes=10-19\r\n\r\n"));
  auto head = raw.Read(seconds(10), /*headRequest=*/true);
  EXPECT_EQ(head.status, 206);
  EXPECT_EQ(raw.Header(head, "Content-Length"), "10");
  EXPECT_EQ(raw.Header(head, "Content-Range"), "bytes 10-19/" + n);
}

TEST_F(UpdateServerNetTest, HealthEndpointAnswersOnEveryListener) {
  for (bool tls : {true, false}) {
    auto res = tls ? Https()->Get("/healthz") : Http()->Get("/healthz");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    EXPECT_EQ(res->body, "ok\n");
  }
}

TEST_F(UpdateServerNetTest, KeepsAConnectionForManyRequests) {
  RawConnection raw("127.0.0.1", httpPort_);
  const std::string query = kRequestPath + Sealed("867");
  for (int i = 0; i < 120; ++i) {
    SCOPED_TRACE(i);
    ASSERT_TRUE(raw.Send("GET " + (i % 2 ? query : std::string("/release/867/three.bin")) +
                         " HTTP/1.1\r\nHost: x\r\n\r\n"));
    auto r = raw.Read(seconds(10));
    ASSERT_EQ(r.status, 200);
    EXPECT_EQ(raw.Header(r, "Connection").find("close"), std::string::npos);
  }
}

// Slow clients hold no thread: with 500 connections that each sent half a request, a client
// that asks properly is still answered at once; and a client address may hold only so many.
TEST(UpdateServerSlowClientTest, SlowConnectionsNeitherStarveOthersNorPileUp) {
  rlimit files{};
  getrlimit(RLIMIT_NOFILE, &files);
  files.rlim_cur = files.rlim_max;
  setrlimit(RLIMIT_NOFILE, &files);
  ASSERT_GE(files.rlim_cur, 1200u);
  Workspace ws = Workspace::Make(R"([{"address": "127.0.0.1", "port": 0, "tls": true},
                                     {"address": "127.0.0.1", "port": 0}])",
                                 R"("headerTimeout": 60, "maxConnectionsPerClient": 110,)");
  ServerProcess server;
  std::string error;
  ASSERT_TRUE(server.Start({CORLINQ_UPDATE_SERVER_EXE, "--config", ws.config.string()}, error));
  ASSERT_TRUE(server.WaitForLine("ready", seconds(20)));
  const int https = server.ListeningPort("https", "127.0.0.1");
  const int http = server.ListeningPort("http", "127.0.0.1");
  std::vector<RawConnection> slow;
  for (int i = 0; i < 500; ++i) {
    // 100 from each of five addresses, alternating between the listeners.
    slow.emplace_back("127.0.0.1", i % 2 ? http : https, "127.0.1." + std::to_string(1 + i / 100));
    ASSERT_TRUE(slow.back().ok()) << i;
    ASSERT_TRUE(slow.back().Send(i % 2 ? "GET /release/867/Digest.xml HTTP/1.1\r\nHost: x\r\n"
                                       : std::string("\x16\x03\x01", 3)));
  }
  EnvelopeKey key = TestKey();
  std::string envelope;
  ASSERT_TRUE(SealEnvelopeText(key, "867", envelope));
  for (bool tls : {true, false}) {
    SCOPED_TRACE(tls ? "https" : "http");
    auto client = std::make_unique<httplib::Client>(
        (tls ? "https://127.0.0.1:" : "http://127.0.0.1:") + std::to_string(tls ? https : http));
    client->enable_server_certificate_verification(false);
    client->set_connection_timeout(1, 0);
    client->set_read_timeout(1, 0);
    client->set_write_timeout(1, 0);
    client->set_url_encode(false);
    auto res = client->Get((std::string(kRequestPath) + envelope).c_str());
    ASSERT_TRUE(res) << httplib::to_string(res.error());
    EXPECT_EQ(res->status, 200);
  }
  // The slow ones are all still there, and one address past its cap is turned away.
  for (size_t i = 0; i < slow.size(); i += 50) EXPECT_FALSE(slow[i].ClosedByPeer(milliseconds(1))) << i;
  std::vector<RawConnection> one;
  for (int i = 0; i < 110; ++i) {
    one.emplace_back("127.0.0.1", http, "127.0.2.1");
    ASSERT_TRUE(one.back().ok());
  }
  // The cap counts connections the server has taken up; an answer on each shows that every one
  // of them has been, whichever of the server's threads took it.
  for (RawConnection& c : one) {
    ASSERT_TRUE(c.Send("GET /healthz HTTP/1.1\r\nHost: x\r\n\r\n"));
    ASSERT_EQ(c.Read(seconds(10)).status, 200);
  }
  RawConnection over("127.0.0.1", http, "127.0.2.1");
  EXPECT_TRUE(over.ClosedByPeer(seconds(10)));
  EXPECT_TRUE(WaitForLogLine(server, std::regex(R"(127\.0\.2\.1:\d+ - - 0 0 .* outcome=refused)")));
  RawConnection other("127.0.0.1", http, "127.0.2.2");
  ASSERT_TRUE(other.Send("GET /healthz HTTP/1.1\r\nHost: x\r\n\r\n"));
  EXPECT_EQ(other.Read(seconds(10)).status, 200);
  EXPECT_EQ(server.Terminate(seconds(15)), 0);
  fs::remove_all(ws.dir);
}

// The deadline covers the whole header: a byte now and then does not keep a connection.
TEST(UpdateServerSlowClientTest, HeadersThatTrickleInAreCutAtTheDeadline) {
  Workspace ws = Workspace::Make(R"([{"address": "127.0.0.1", "port": 0}])",
                                 R"("headerTimeout": 2, "idleTimeout": 60,)");
  ServerProcess server;
  std::string error;
  ASSERT_TRUE(server.Start({CORLINQ_UPDATE_SERVER_EXE, "--config", ws.config.string()}, error));
  ASSERT_TRUE(server.WaitForLine("ready", seconds(20)));
  const int http = server.ListeningPort("http", "127.0.0.1");
  RawConnection trickle("127.0.0.1", http);
  const std::string request = "GET /release/867/Digest.xml HTTP/1.1\r\nHost: x\r\nX-Pad: " +
                              std::string(200, 'a') + "\r\n\r\n";
  bool cut = false;
  for (size_t i = 0; i < request.size() - 2 && !cut; ++i) {  // never completes the header
    trickle.Send(request.substr(i, 1));
    cut = trickle.ClosedByPeer(milliseconds(250));
  }
  EXPECT_TRUE(cut);
  EXPECT_TRUE(WaitForLogLine(server, std::regex(
      R"(127\.0\.0\.1:)" + std::to_string(trickle.LocalPort()) +
      R"( .*outcome=timeout reason="request headers not complete within 2 s")")));
  EXPECT_EQ(server.Terminate(seconds(15)), 0);
  fs::remove_all(ws.dir);
}

// Separate servers: clean stop on SIGTERM, and refusal to start on a broken setup.
TEST(UpdateServerProcessTest, SigtermStopsCleanlyWithAConnectionOpen) {
  Workspace ws = Workspace::Make(R"([{"address": "127.0.0.2", "port": 0, "tls": true},
                                     {"address": "127.0.0.3", "port": 0}])");
  ServerProcess server;
  std::string error;
  ASSERT_TRUE(server.Start({CORLINQ_UPDATE_SERVER_EXE, "--config", ws.config.string()}, error))
      << error;
  ASSERT_TRUE(server.WaitForLine("ready", seconds(20)));
  httplib::SSLClient client("127.0.0.2", server.ListeningPort("https", "127.0.0.2"));
  client.enable_server_certificate_verification(false);
  client.set_keep_alive(true);
  auto res = client.Get("/release/867/Digest.xml");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 200);
  auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(server.Terminate(seconds(15)), 0);
  auto ms = std::chrono::duration_cast<milliseconds>(std::chrono::steady_clock::now() - started);
  std::printf("stopped in %lld ms with a keep-alive connection open\n",
              static_cast<long long>(ms.count()));
  auto lines = server.Lines();
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[lines.size() - 2], "stopping on SIGTERM");
  EXPECT_EQ(lines.back(), "stopped");
  fs::remove_all(ws.dir);
}

TEST(UpdateServerProcessTest, RefusesToStartOnABrokenSetup) {
  Workspace ws = Workspace::Make(R"([{"address": "127.0.0.1", "port": 0, "tls": true}])");
  ServerProcess first;
  std::string error;
  ASSERT_TRUE(first.Start({CORLINQ_UPDATE_SERVER_EXE, "--config", ws.config.string()}, error));
  ASSERT_TRUE(first.WaitForLine("ready", seconds(20)));
  const int busyPort = first.ListeningPort("https", "127.0.0.1");

  auto writeConfig = [&](const std::string& name, const std::string& text) {
    WriteAll(ws.dir / name, text);
    return (ws.dir / name).string();
  };
  const std::string key = std::string(CORLINQ_SOURCE_DIR) + "/keys/envelope.pem";
  const std::string bank = R"("banks": {"867": {"version": "1", "release": "release-867"}})";
  const struct {
    const char* name;
    std::vector<std::string> args;
    int exitCode;
    const char* message;
  } cases[] = {
      {"no arguments", {}, 2, "usage"},
      {"missing config file", {"--config", (ws.dir / "none.json").string()}, 1, "cannot read"},
      {"port in use",
       {"--config",
        writeConfig("busy.json", R"({"listeners": [{"address": "127.0.0.1", "port": )" +
                                     std::to_string(busyPort) + R"(}], "envelopeKey": ")" + key +
                                     "\", " + bank + "}")},
       1, "cannot listen"},
      {"missing release folder",
       {"--config",
        writeConfig("norelease.json",
                    R"({"listeners": [{"address": "127.0.0.1", "port": 0}], "envelopeKey": ")" +
                        key + R"(", "banks": {"867": {"version": "1", "release": "nope"}}})")},
       1, "release folder"},
      {"certificate missing",
       {"--config",
        writeConfig("nocert.json",
                    R"({"listeners": [{"address": "127.0.0.1", "port": 0, "tls": true}],
                        "certificate": "none.crt", "privateKey": "none.key", "envelopeKey": ")" +
                        key + "\", " + bank + "}")},
       1, "certificate"},
      {"envelope key not a key",
       {"--config",
        writeConfig("badkey.json",
                    R"({"listeners": [{"address": "127.0.0.1", "port": 0}],
                        "envelopeKey": "certs/server.crt", )" + bank + "}")},
       1, "envelope key"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> argv{CORLINQ_UPDATE_SERVER_EXE};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    ServerProcess server;
    ASSERT_TRUE(server.Start(argv, error)) << error;
    EXPECT_EQ(server.WaitForExit(seconds(10)), c.exitCode);
    bool mentioned = false;
    for (const std::string& line : server.Lines()) {
      mentioned = mentioned || line.find(c.message) != std::string::npos;
    }
    EXPECT_TRUE(mentioned) << "no line mentions \"" << c.message << "\"";
  }
  EXPECT_EQ(first.Terminate(seconds(15)), 0);
  fs::remove_all(ws.dir);
}

// SIGHUP swaps in the new configuration for the next request, on the connection already open;
// a broken one is reported and the running one stays.
TEST(UpdateServerProcessTest, SighupReloadsTheConfigurationAndKeepsItWhenTheNewOneIsBad) {
  Workspace ws = Workspace::Make(R"([{"address": "127.0.0.1", "port": 0}])");
  ServerProcess server;
  std::string error;
  ASSERT_TRUE(server.Start({CORLINQ_UPDATE_SERVER_EXE, "--config", ws.config.string()}, error));
  ASSERT_TRUE(server.WaitForLine("ready", seconds(20)));
  const std::string good = ReadAll(ws.config);
  EnvelopeKey key = TestKey();
  RawConnection kept("127.0.0.1", server.ListeningPort("http", "127.0.0.1"));
  auto versionOf = [&](RawConnection& c) {
    std::string envelope, plain;
    if (!SealEnvelopeText(key, "867", envelope)) return std::string("cannot seal");
    if (!c.Send(std::string("GET ") + kRequestPath + envelope + " HTTP/1.1\r\nHost: x\r\n\r\n")) {
      return std::string("cannot send");
    }
    auto r = c.Read(seconds(10));
    if (r.status != 200) return "status " + std::to_string(r.status);
    if (!OpenEnvelopeToText(key, r.body.data(), r.body.size(), plain)) return std::string("?");
    Json::Value v;
    std::istringstream in(plain);
    Json::parseFromStream(Json::CharReaderBuilder(), in, &v, nullptr);
    return v["v"].asString() + "/" + v["update"].asString();
  };
  EXPECT_EQ(versionOf(kept), "1.0.0.2/1");

  const struct {
    const char* name;
    std::string config;
    std::string line;     // the server says
    std::string version;  // answered afterwards on the kept connection
  } steps[] = {
      {"new release", std::regex_replace(good, std::regex(R"("1\.0\.0\.2", "update": "1")"),
                                         R"("1.0.0.3", "update": "2")"),
       "reloaded", "1.0.0.3/2"},
      {"trailing comma", std::regex_replace(good, std::regex(R"("release": "release-1a2b"})"),
                                            R"("release": "release-1a2b",})"),
       "reload failed", "1.0.0.3/2"},
      {"update flag 7", std::regex_replace(good, std::regex(R"("update": "1")"), R"("update": "7")"),
       "reload failed", "1.0.0.3/2"},
      {"missing key file", std::regex_replace(good, std::regex(R"(/keys/envelope\.pem)"), "/keys/none.pem"),
       "reload failed", "1.0.0.3/2"},
      {"back to the first", good, "reloaded", "1.0.0.2/1"},
  };
  size_t seen = server.Lines().size();
  for (const auto& step : steps) {
    SCOPED_TRACE(step.name);
    WriteAll(ws.config, step.config);
    ASSERT_EQ(kill(server.pid(), SIGHUP), 0);
    bool said = false;
    for (int i = 0; i < 250 && !said; ++i) {
      auto lines = server.Lines();
      for (size_t j = seen; j < lines.size() && !said; ++j) {
        said = lines[j].rfind(step.line, 0) == 0;
        if (said) seen = j + 1;
      }
      if (!said) std::this_thread::sleep_for(milliseconds(20));
    }
    EXPECT_TRUE(said) << "no line \"" << step.line << "\"";
    EXPECT_EQ(versionOf(kept), step.version);
  }
  EXPECT_EQ(server.Terminate(seconds(15)), 0);
  fs::remove_all(ws.dir);
}

// The command line by the usual conventions, and --check-config.
TEST(UpdateServerProcessTest, CommandLineAndConfigurationCheck) {
  Workspace ws = Workspace::Make(R"([{"address": "127.0.0.1", "port": 0, "tls": true}])");
  const std::string good = ReadAll(ws.config);
  auto variant = [&](const std::string& name, const std::string& from, const std::string& to) {
    fs::path file = ws.dir / name;
    WriteAll(file, std::regex_replace(good, std::regex(from), to));
    return file.string();
  };
  const std::string exe = CORLINQ_UPDATE_SERVER_EXE;
  const struct {
    const char* name;
    std::string args;
    int exitCode;
    const char* out;  // on stdout
    const char* err;  // on stderr
  } cases[] = {
      {"help", "--help", 0, "usage: update-server", ""},
      {"version", "--version", 0, "update-server ", ""},
      {"unknown option", "--bogus", 2, "", "--bogus"},
      {"option without value", "--config", 2, "", "--config"},
      {"operand", "--config " + ws.config.string() + " extra", 2, "", "extra"},
      {"nothing", "", 2, "", "--config"},
      {"good config", "--check-config " + ws.config.string(), 0, "configuration ok", ""},
      {"good config, = form", "--check-config=" + ws.config.string(), 0, "configuration ok", ""},
      {"good config by --config", "--check-config --config " + ws.config.string(), 0,
       "configuration ok", ""},
      {"good config by --config=", "--config=" + ws.config.string() + " --check-config", 0,
       "configuration ok", ""},
      {"check without a file", "--check-config", 2, "", "--check-config"},
      {"trailing comma",
       "--check-config " + variant("comma.json", R"("release": "release-1a2b"})", R"("release": "release-1a2b",})"),
       1, "", "JSON"},
      {"unknown key", "--check-config " + variant("unknown.json", R"("threads")", R"("workers")"), 1,
       "", "unknown key \"workers\""},
      {"update flag 3", "--check-config " + variant("flag.json", R"("update": "1")", R"("update": 3)"),
       1, "", "\"update\" must be 0, 1 or 2"},
      {"version banana",
       "--check-config " + variant("banana.json", R"("1\.0\.0\.2")", R"("banana")"), 1, "", "banana"},
      {"missing release", "--check-config " + variant("norel.json", R"("release-867")", R"("nowhere")"),
       1, "", "release folder"},
      {"missing certificate",
       "--check-config " + variant("nocert.json", R"("certs/server\.crt")", R"("certs/none.crt")"), 1,
       "", "certificate"},
      {"bank id with 0x", "--check-config " + variant("hex.json", R"("1a2b")", R"("0X1A2B")"), 0,
       "configuration ok", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string out = (ws.dir / "out.txt").string(), err = (ws.dir / "err.txt").string();
    int status = std::system((exe + " " + c.args + " >" + out + " 2>" + err).c_str());
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), c.exitCode);
    const std::string stdoutText = ReadAll(out), stderrText = ReadAll(err);
    EXPECT_NE(stdoutText.find(c.out), std::string::npos) << stdoutText;
    EXPECT_NE(stderrText.find(c.err), std::string::npos) << stderrText;
    if (c.exitCode == 0) {
      EXPECT_EQ(stderrText, "");
    }
  }
}

// The release check before serving: every bank's release folder against the manifest public
// key. A release that does not hold stops the start (and fails --check-config) with a line
// naming the file and the reason; after a start, a reload onto a broken release is refused.
TEST(UpdateServerProcessTest, ReleaseCheckStopsTheStartOnAReleaseThatDoesNotHold) {
  char tmpl[] = "/tmp/update_server_release_check.XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  const fs::path dir = tmpl;
  const std::string source = CORLINQ_SOURCE_DIR;
  const std::string publicKey = source + "/keys/manifest-public.pem";
  // Another signing key's public half: the release's signatures do not open under it.
  const fs::path otherKey = dir / "other-public.pem";
  ASSERT_EQ(std::system(("openssl genrsa -out " + (dir / "other.pem").string() +
                         " 1024 2>/dev/null && openssl rsa -in " + (dir / "other.pem").string() +
                         " -RSAPublicKey_out -out " + otherKey.string() + " 2>/dev/null")
                            .c_str()),
            0);
  // A copy of the signed demo release, changed by `spoil`, and a configuration serving it.
  int serial = 0;
  auto setUp = [&](const std::function<void(const fs::path&)>& spoil, const std::string& options,
                   const std::string& key) {
    const fs::path release = dir / ("release-" + std::to_string(++serial));
    fs::copy(CORLINQ_DEMO_RELEASE, release, fs::copy_options::recursive);
    spoil(release);
    const fs::path config = dir / ("server-" + std::to_string(serial) + ".json");
    WriteAll(config, R"({"listeners": [{"address": "127.0.0.1", "port": 0}],
      "envelopeKey": ")" + source + R"(/keys/envelope.pem", )" + options + R"("releaseKey": ")" +
                         key + R"(",
      "banks": {"867": {"version": "1.0.0.2", "release": ")" + release.string() + R"("}}})");
    return config.string();
  };
  const auto none = [](const fs::path&) {};
  const auto tamper = [](const fs::path& r) {
    std::ofstream(r / "bin" / "helper.dll", std::ios::app) << "x";
  };
  const struct {
    const char* name;
    std::function<void(const fs::path&)> spoil;
    const char* options;    // configuration members before "releaseKey"
    const char* flag;       // extra command-line option, or ""
    bool otherKey;          // check against a key that did not sign the release
    const char* complaint;  // "" when the server must start
  } cases[] = {
      {"sound release", none, R"("checkReleases": true, )", "", false, ""},
      {"tampered file", tamper, R"("checkReleases": true, )", "", false,
       "/bin/helper.dll: tampered: the content does not match Digest.xml"},
      {"missing file", [](const fs::path& r) { fs::remove(r / "config.ini"); },
       R"("checkReleases": true, )", "", false, "/config.ini: missing: listed in Digest"},
      {"unlisted file", [](const fs::path& r) { WriteAll(r / "bin" / "extra.dll", "x"); },
       R"("checkReleases": true, )", "", false, "/bin/extra.dll: unlisted"},
      {"signed with another key", none, R"("checkReleases": true, )", "", true,
       "/Digest.xml: bad-signature: the signature does not open under this public key"},
      {"bank manifest missing", [](const fs::path& r) { fs::remove(r / "Digest_867.xml"); },
       R"("checkReleases": true, )", "", false, "/Digest_867.xml: missing"},
      {"asked for on the command line", tamper, "", "--check-releases", false,
       "/bin/helper.dll: tampered"},
      {"not asked for: a tampered release is served", tamper, "", "", false, ""},
  };
  std::string error;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string config = setUp(c.spoil, c.options, c.otherKey ? otherKey.string() : publicKey);
    std::vector<std::string> argv{CORLINQ_UPDATE_SERVER_EXE, "--config", config};
    if (*c.flag != '\0') argv.emplace_back(c.flag);
    ServerProcess server;
    ASSERT_TRUE(server.Start(argv, error)) << error;
    if (*c.complaint == '\0') {
      EXPECT_TRUE(server.WaitForLine("ready", seconds(20)));
      EXPECT_EQ(server.Terminate(seconds(15)), 0);
      continue;
    }
    EXPECT_EQ(server.WaitForExit(seconds(20)), 1);
    bool named = false, ready = false;
    for (const std::string& line : server.Lines()) {
      named = named || (line.rfind("update-server: release check failed: bank 867: ", 0) == 0 &&
                        line.find(c.complaint) != std::string::npos);
      ready = ready || line == "ready";
    }
    EXPECT_TRUE(named) << "no release check line with \"" << c.complaint << "\"";
    EXPECT_FALSE(ready);
    // --check-config gives the same verdict, without listening.
    const std::string err = (dir / "err.txt").string();
    const int status = std::system((std::string(CORLINQ_UPDATE_SERVER_EXE) + " --check-config " +
                                    config + " " + c.flag + " >/dev/null 2>" + err).c_str());
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);
    EXPECT_NE(ReadAll(err).find(c.complaint), std::string::npos) << ReadAll(err);
  }

  // Started on a sound release; the release is then spoiled in place: a reload is refused and
  // the server goes on answering.
  const std::string config = setUp(none, R"("checkReleases": true, )", publicKey);
  ServerProcess server;
  ASSERT_TRUE(server.Start({CORLINQ_UPDATE_SERVER_EXE, "--config", config}, error)) << error;
  ASSERT_TRUE(server.WaitForLine("ready", seconds(20)));
  tamper(dir / ("release-" + std::to_string(serial)));
  ASSERT_EQ(kill(server.pid(), SIGHUP), 0);
  EXPECT_TRUE(WaitForLogLine(server, std::regex("^reload failed, the running configuration stays: "
                                                "release check failed: bank 867: .*/bin/helper\\.dll: tampered")));
  httplib::Client client("127.0.0.1", server.ListeningPort("http", "127.0.0.1"));
  auto health = client.Get("/healthz");
  ASSERT_TRUE(health);
  EXPECT_EQ(health->status, 200);
  EXPECT_EQ(server.Terminate(seconds(15)), 0);
  fs::remove_all(dir);
}

// Banks built with their own envelope keys share one server: a list of shared keys tried in
// order, and keys that belong to one bank only. The reply is sealed with the key that opened
// the query.
TEST(UpdateServerProcessTest, OpensQueriesWithEveryConfiguredKeyAndRepliesWithTheSame) {
  Workspace ws = Workspace::Make(R"([{"address": "127.0.0.1", "port": 0}])");
  for (const char* name : {"second.pem", "own.pem"}) {
    std::string gen = "openssl genrsa -out " + (ws.dir / name).string() + " 1024 2>/dev/null";
    ASSERT_EQ(std::system(gen.c_str()), 0);
  }
  std::string config = ReadAll(ws.config);
  const std::string builtin = std::string(CORLINQ_SOURCE_DIR) + "/keys/envelope.pem";
  config = std::regex_replace(config, std::regex(R"("envelopeKey": "[^"]*")"),
                              R"("envelopeKey": [")" + builtin + R"(", "second.pem"])");
  config = std::regex_replace(config, std::regex(R"("release": "release-1a2b")"),
                              R"("release": "release-1a2b", "envelopeKey": "own.pem")");
  WriteAll(ws.config, config);
  ServerProcess server;
  std::string error;
  ASSERT_TRUE(server.Start({CORLINQ_UPDATE_SERVER_EXE, "--config", ws.config.string()}, error));
  ASSERT_TRUE(server.WaitForLine("ready", seconds(20)));
  EnvelopeKey keys[3];
  keys[0] = TestKey();
  ASSERT_TRUE(LoadEnvelopeKeyPem(ReadAll(ws.dir / "second.pem"), keys[1]));
  ASSERT_TRUE(LoadEnvelopeKeyPem(ReadAll(ws.dir / "own.pem"), keys[2]));
  const struct {
    const char* bank;
    int key;
    int status;
  } cases[] = {
      {"867", 0, 200}, {"867", 1, 200}, {"867", 2, 404},
      {"1a2b", 2, 200}, {"1a2b", 0, 404}, {"1a2b", 1, 404},
  };
  httplib::Client client("127.0.0.1", server.ListeningPort("http", "127.0.0.1"));
  client.set_url_encode(false);
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.bank) + " sealed with key " + std::to_string(c.key));
    std::string envelope, plain;
    ASSERT_TRUE(SealEnvelopeText(keys[c.key], c.bank, envelope));
    auto res = client.Get((kRequestPath + envelope).c_str());
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, c.status);
    if (c.status != 200) continue;
    for (int k = 0; k < 3; ++k) {
      EXPECT_EQ(OpenEnvelopeToText(keys[k], res->body.data(), res->body.size(), plain), k == c.key);
    }
  }
  EXPECT_EQ(server.Terminate(seconds(15)), 0);
  fs::remove_all(ws.dir);
}

// IPv6 and host-name listeners; behind a trusted proxy the client address and the scheme come
// from X-Forwarded-For and X-Forwarded-Proto, from anyone else they are ignored; JSON log lines.
TEST(UpdateServerProcessTest, ListensOnIpv6AndHostNamesAndTrustsOnlyConfiguredProxies) {
  Workspace ws = Workspace::Make(R"([{"address": "::1", "port": 0}, {"address": "localhost", "port": 0},
                                     {"address": "127.0.0.1", "port": 0}])",
                                 R"("trustedProxies": ["127.0.0.1", "::1"], "log": "json",)");
  ServerProcess server;
  std::string error;
  ASSERT_TRUE(server.Start({CORLINQ_UPDATE_SERVER_EXE, "--config", ws.config.string()}, error));
  ASSERT_TRUE(server.WaitForLine("ready", seconds(20)));
  const int v6 = server.ListeningPort("http", "[::1]");
  const int plain = server.ListeningPort("http", "127.0.0.1");
  ASSERT_GT(v6, 0);
  ASSERT_GT(plain, 0);
  EnvelopeKey key = TestKey();
  const struct {
    const char* name;
    std::string address;
    int port;
    std::string source;
    bool forwarded;
    std::string url;     // of the reply for bank 1a2b
    std::string client;  // in the log
  } cases[] = {
      {"from the proxy over IPv6", "::1", v6, "", true, "https://updates.example/release/1a2b",
       "203.0.113.9"},
      {"from the proxy", "127.0.0.1", plain, "", true, "https://updates.example/release/1a2b",
       "203.0.113.9"},
      {"not from a proxy", "127.0.0.1", plain, "127.0.0.5", false,
       "http://updates.example/release/1a2b", "127.0.0.5"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    RawConnection conn(c.address, c.port, c.source);
    ASSERT_TRUE(conn.ok());
    std::string envelope, plainText;
    ASSERT_TRUE(SealEnvelopeText(key, "1a2b", envelope));
    ASSERT_TRUE(conn.Send(std::string("GET ") + kRequestPath + envelope +
                          " HTTP/1.1\r\nHost: updates.example\r\n"
                          "X-Forwarded-For: 198.51.100.7, 203.0.113.9\r\n"
                          "X-Forwarded-Proto: https\r\n\r\n"));
    auto r = conn.Read(seconds(10));
    ASSERT_EQ(r.status, 200);
    ASSERT_TRUE(OpenEnvelopeToText(key, r.body.data(), r.body.size(), plainText));
    EXPECT_NE(plainText.find("\"url\":\"" + c.url + "\""), std::string::npos) << plainText;
    std::string line;
    std::string port = std::to_string(conn.LocalPort());
    EXPECT_TRUE(WaitForLogLine(server, std::regex(c.forwarded ? ":" + port + "\"" : "\"port\":" + port),
                               &line));
    Json::Value v;
    std::istringstream in(line);
    ASSERT_TRUE(Json::parseFromStream(Json::CharReaderBuilder(), in, &v, nullptr)) << line;
    EXPECT_EQ(v["client"].asString(), c.client);
    EXPECT_EQ(v["bank"].asString(), "1a2b");
    EXPECT_EQ(v["outcome"].asString(), "version");
    EXPECT_EQ(v["status"].asInt(), 200);
    EXPECT_EQ(v.isMember("via"), c.forwarded);
  }
  EXPECT_EQ(server.Terminate(seconds(15)), 0);
  fs::remove_all(ws.dir);
}

}  // namespace
}  // namespace corlinq
