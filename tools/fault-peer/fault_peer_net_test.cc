// The fault peer's modes as a client sees them on the wire.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "tools/update-server/server_process.h"

namespace corlinq {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;
using std::chrono::seconds;

// Everything a plain-TCP client receives for one GET, up to the peer's close or reset.
struct RawReply {
  std::string head;
  std::string body;
  bool reset = false;
  bool timedOut = false;
};

RawReply RawGet(int port, int waitMs) {
  RawReply reply;
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, "127.0.0.1", &addr.sin_addr);
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    close(fd);
    reply.reset = true;
    return reply;
  }
  const std::string request = "GET /x/Digest.xml HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
  if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) < 0) reply.reset = true;
  std::string all;
  auto deadline = std::chrono::steady_clock::now() + milliseconds(waitMs);
  for (;;) {
    auto left = std::chrono::duration_cast<milliseconds>(deadline - std::chrono::steady_clock::now());
    pollfd p{fd, POLLIN, 0};
    if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) == 0) {
      reply.timedOut = true;
      break;
    }
    char buffer[4096];
    ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n < 0) reply.reset = true;
    if (n <= 0) break;
    all.append(buffer, static_cast<size_t>(n));
  }
  close(fd);
  size_t end = all.find("\r\n\r\n");
  reply.head = all.substr(0, end == std::string::npos ? all.size() : end + 4);
  if (end != std::string::npos) reply.body = all.substr(end + 4);
  return reply;
}

class FaultPeerTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    signal(SIGPIPE, SIG_IGN);
    char tmpl[] = "/tmp/fault_peer_test.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    std::string gen =
        std::string(CORLINQ_SOURCE_DIR) + "/scripts/gen-test-cert.sh " + (dir_ / "certs").string();
    ASSERT_EQ(std::system(gen.c_str()), 0);
    body_ = std::string(10000, 'b') + "END";
    std::ofstream(dir_ / "body.bin", std::ios::binary) << body_;
  }
  static void TearDownTestSuite() { fs::remove_all(dir_); }

  // Starts a peer on 127.0.0.1 with a free port; returns the port (0 on failure).
  static int StartPeer(ServerProcess& peer, const std::string& mode, bool tls,
                       std::vector<std::string> extra = {}) {
    std::vector<std::string> argv{CORLINQ_FAULT_PEER_EXE, "--listen", "127.0.0.1:0", "--mode",
                                  mode, "--body-file", (dir_ / "body.bin").string()};
    if (tls) {
      argv.insert(argv.end(), {"--tls", (dir_ / "certs/server.crt").string(),
                               (dir_ / "certs/server.key").string()});
    }
    argv.insert(argv.end(), extra.begin(), extra.end());
    std::string error;
    if (!peer.Start(argv, error) || !peer.WaitForLine("ready", seconds(10))) return 0;
    return peer.ListeningPort(tls ? "https" : "http", "127.0.0.1");
  }

  static fs::path dir_;
  static std::string body_;
};

fs::path FaultPeerTest::dir_;
std::string FaultPeerTest::body_;

TEST_F(FaultPeerTest, EachModePutsItsFaultOnTheWire) {
  const std::string length = "Content-Length: " + std::to_string(body_.size()) + "\r\n";
  const struct {
    const char* mode;
    const char* status;
    bool hasLength;  // the head carries the body's full length
    size_t bodyBytes;
    bool mayReset;
  } cases[] = {
      {"ok", "HTTP/1.1 200 ", true, body_.size(), false},
      {"404", "HTTP/1.1 404 ", true, body_.size(), false},
      {"500", "HTTP/1.1 500 ", true, body_.size(), false},
      {"short", "HTTP/1.1 200 ", true, body_.size() / 2, false},
      {"drop", "HTTP/1.1 200 ", true, body_.size() / 2, true},
      {"overlong", "HTTP/1.1 200 ", true, body_.size() + 32, false},
      {"close", "", false, 0, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.mode);
    ServerProcess peer;
    int port = StartPeer(peer, c.mode, false);
    ASSERT_GT(port, 0);
    RawReply reply = RawGet(port, 5000);
    EXPECT_FALSE(reply.timedOut);
    EXPECT_EQ(reply.head.compare(0, std::strlen(c.status), c.status), 0) << reply.head;
    EXPECT_EQ(reply.head.find(length) != std::string::npos, c.hasLength) << reply.head;
    EXPECT_EQ(reply.body.size(), c.bodyBytes);
    if (!c.mayReset) {
      EXPECT_FALSE(reply.reset);
    }
    EXPECT_EQ(reply.body.compare(0, std::min(reply.body.size(), body_.size()), body_, 0,
                                 std::min(reply.body.size(), body_.size())),
              0);
    EXPECT_EQ(peer.Terminate(seconds(10)), 0);
  }
}

// The modes that keep the connection open: the client sees what came so far, then nothing.
TEST_F(FaultPeerTest, StallingModesKeepTheConnectionOpen) {
  const std::string length = "Content-Length: " + std::to_string(body_.size()) + "\r\n";
  const struct {
    const char* mode;
    bool tls;
    std::vector<std::string> extra;
    std::string headStart;  // "" for raw bytes that are no HTTP head
    size_t bodyBytes;
    bool timedOut;
  } cases[] = {
      {"stall-body", false, {}, "HTTP/1.1 200 ", body_.size() / 2, true},
      {"trickle", false, {"--rate", "200000"}, "HTTP/1.1 200 ", body_.size(), false},
      {"tls-garbage", true, {}, "", 0, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.mode);
    ServerProcess peer;
    int port = StartPeer(peer, c.mode, c.tls, c.extra);
    ASSERT_GT(port, 0);
    RawReply reply = RawGet(port, 1500);
    EXPECT_EQ(reply.timedOut, c.timedOut);
    if (c.headStart.empty()) {
      // The start of a TLS handshake record (type 22) that announces 16 KiB and brings a few bytes.
      ASSERT_GE(reply.head.size(), 5u);
      EXPECT_EQ(reply.head.substr(0, 5), std::string("\x16\x03\x03\x40\x00", 5));
      EXPECT_LT(reply.head.size(), 64u);
    } else {
      EXPECT_EQ(reply.head.compare(0, c.headStart.size(), c.headStart), 0) << reply.head;
      EXPECT_NE(reply.head.find(length), std::string::npos) << reply.head;
      EXPECT_EQ(reply.body.size(), c.bodyBytes);
      EXPECT_EQ(reply.body, body_.substr(0, reply.body.size()));
    }
    EXPECT_EQ(peer.Terminate(seconds(10)), 0);
  }
}

TEST_F(FaultPeerTest, ChunkedBodyHasNoLengthAndDecodesWhole) {
  ServerProcess peer;
  int port = StartPeer(peer, "chunked", true);
  ASSERT_GT(port, 0);
  httplib::SSLClient client("127.0.0.1", port);
  client.enable_server_certificate_verification(false);
  auto res = client.Get("/x");
  ASSERT_TRUE(res) << httplib::to_string(res.error());
  EXPECT_EQ(res->status, 200);
  EXPECT_FALSE(res->has_header("Content-Length"));
  EXPECT_EQ(res->get_header_value("Transfer-Encoding"), "chunked");
  EXPECT_TRUE(res->body == body_);
  EXPECT_EQ(peer.Terminate(seconds(10)), 0);
}

TEST_F(FaultPeerTest, StallOutlastsTheClientsTimeOutAndStopStillEndsIt) {
  ServerProcess peer;
  int port = StartPeer(peer, "stall", true);
  ASSERT_GT(port, 0);
  httplib::SSLClient client("127.0.0.1", port);
  client.enable_server_certificate_verification(false);
  client.set_read_timeout(1, 0);
  auto started = std::chrono::steady_clock::now();
  auto res = client.Get("/assist/server?reqtype=1&data=00");
  auto waited = std::chrono::steady_clock::now() - started;
  EXPECT_FALSE(res);
  EXPECT_GE(waited, milliseconds(900));
  // A second client still connected while the peer stops does not hold it up.
  bool answered = true;
  std::thread other([&] {
    httplib::SSLClient second("127.0.0.1", port);
    second.enable_server_certificate_verification(false);
    second.set_read_timeout(8, 0);
    answered = static_cast<bool>(second.Get("/x"));
  });
  EXPECT_TRUE(peer.WaitForLine("request 2 ", seconds(5), true));
  started = std::chrono::steady_clock::now();
  EXPECT_EQ(peer.Terminate(seconds(10)), 0);
  other.join();
  EXPECT_LT(std::chrono::steady_clock::now() - started, seconds(3));
  EXPECT_FALSE(answered);
}

TEST_F(FaultPeerTest, CountsRequestsInItsLog) {
  fs::path log = dir_ / "requests.log";
  ServerProcess peer;
  int port = StartPeer(peer, "404", false, {"--log", log.string()});
  ASSERT_GT(port, 0);
  httplib::Client client("127.0.0.1", port);
  for (int i = 0; i < 5; ++i) {
    auto res = client.Get("/release/867/Digest.xml");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 404);
    EXPECT_TRUE(res->body == body_);
  }
  EXPECT_EQ(peer.Terminate(seconds(10)), 0);
  std::ifstream in(log);
  std::string line;
  int lines = 0;
  while (std::getline(in, line)) {
    ++lines;
    EXPECT_NE(line.find(" GET /release/867/Digest.xml"), std::string::npos) << line;
  }
  EXPECT_EQ(lines, 5);
}

TEST_F(FaultPeerTest, RefusesAWrongCommandLine) {
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"--listen", "127.0.0.1:0"},
      {"--listen", "localhost:80", "--mode", "ok"},
      {"--listen", "127.0.0.1:0", "--mode", "teapot"},
      {"--listen", "127.0.0.1:0", "--mode", "tls-garbage"},  // needs --tls
      {"--listen", "127.0.0.1:0", "--mode", "trickle", "--rate", "0"},
  };
  for (const auto& args : cases) {
    std::vector<std::string> argv{CORLINQ_FAULT_PEER_EXE};
    argv.insert(argv.end(), args.begin(), args.end());
    ServerProcess peer;
    std::string error;
    ASSERT_TRUE(peer.Start(argv, error));
    EXPECT_EQ(peer.WaitForExit(seconds(10)), 2);
  }
}

}  // namespace
}  // namespace corlinq
