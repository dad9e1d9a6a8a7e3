// The real update-server process on loopback, driven over HTTPS and HTTP.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <json/json.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <sstream>
#include <thread>

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

// A working folder with a test certificate, two release folders and the configuration.
struct Workspace {
  fs::path dir;
  fs::path cert, key, config;
  fs::path release;  // bank 867

  static Workspace Make(const std::string& listenersJson) {
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
      "threads": 8,
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
  EXPECT_LT(hwm, 128 * 1024) << "server peak resident set in KiB";
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

}  // namespace
}  // namespace corlinq
