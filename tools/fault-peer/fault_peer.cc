// fault-peer: a test-only HTTP(S) server that misbehaves on purpose, so that tests can see how
// the downloader's transport copes. It answers every request on every path the same way:
//
//   fault-peer --listen ADDR:PORT [--listen ADDR:PORT ...] [--tls CERT KEY] --mode MODE
//              [--body-file FILE | --body TEXT] [--log FILE] [--ready-file FILE]
//              [--delay-ms N] [--stall-ms N]
//
// Modes (the body is --body-file, --body, or "fault-peer reply body\n"; n its length):
//   ok        200, Content-Length n, the body
//   404, 500  that status, Content-Length n, the body
//   chunked   200, no Content-Length, the body in chunks (Transfer-Encoding: chunked)
//   short     200, Content-Length n, only the first n/2 bytes, then a clean close
//   drop      200, Content-Length n, the first n/2 bytes, then a connection reset
//   overlong  200, Content-Length n, the body and 32 bytes more, then a close
//   close     reads the request and closes without answering
//   stall     reads the request and never answers (until the client leaves, --stall-ms
//             passes, or the peer stops)
//   stall-body  200, Content-Length n, the first n/2 bytes, then nothing more (as stall)
//   trickle   200, Content-Length n, the body at --rate bytes per second (default 100)
//   tls-garbage  (with --tls) answers the client's TLS hello with the start of a record that
//             never completes, then stays silent (as stall); no request is read
// Every answer carries "Connection: close"; one request per connection.
//
// It prints "listening http|https ADDR:PORT" per listener and "ready" once listening (port 0
// picks a free port), then "request <n> <client> <METHOD> <target>" per request; --log FILE gets
// the request lines too (appended, flushed per line), so tests can count requests. SIGTERM or
// SIGINT ends it with exit 0; exit 1 on a setup failure, 2 on a wrong command line.
//
// Plain sockets and OpenSSL rather than an HTTP library: the faults need byte-level control of
// what goes on the wire and when the connection ends.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

enum class Mode {
  kOk, kNotFound, kServerError, kChunked, kShort, kDrop, kOverlong, kClose, kStall, kStallBody,
  kTrickle, kTlsGarbage
};

struct Options {
  std::vector<std::pair<std::string, int>> listen;
  std::string cert, key;
  Mode mode = Mode::kOk;
  std::string body = "fault-peer reply body\n";
  std::string logFile, readyFile;
  int delayMs = 0;
  int stallMs = 0;  // 0: until the client leaves or the peer stops
  int rate = 100;   // bytes per second in trickle mode
};

constexpr const char kUsage[] =
    "usage: fault-peer --listen ADDR:PORT [--listen ADDR:PORT ...] [--tls CERT KEY]\n"
    "                  --mode ok|404|500|chunked|short|drop|overlong|close|stall|stall-body|\n"
    "                         trickle|tls-garbage\n"
    "                  [--body-file FILE | --body TEXT] [--log FILE] [--ready-file FILE]\n"
    "                  [--delay-ms N] [--stall-ms N] [--rate BYTES_PER_SECOND]\n";

bool ParseMode(const std::string& text, Mode& mode) {
  static const std::pair<const char*, Mode> kModes[] = {
      {"ok", Mode::kOk},       {"404", Mode::kNotFound},   {"500", Mode::kServerError},
      {"chunked", Mode::kChunked}, {"short", Mode::kShort}, {"drop", Mode::kDrop},
      {"overlong", Mode::kOverlong}, {"close", Mode::kClose}, {"stall", Mode::kStall},
      {"stall-body", Mode::kStallBody}, {"trickle", Mode::kTrickle}, {"tls-garbage", Mode::kTlsGarbage}};
  for (const auto& m : kModes) {
    if (text == m.first) {
      mode = m.second;
      return true;
    }
  }
  return false;
}

bool ParseAddress(const std::string& text, std::string& address, int& port) {
  size_t colon = text.rfind(':');
  if (colon == std::string::npos) return false;
  address = text.substr(0, colon);
  char* end = nullptr;
  long value = std::strtol(text.c_str() + colon + 1, &end, 10);
  if (end == text.c_str() + colon + 1 || *end != '\0' || value < 0 || value > 65535) return false;
  port = static_cast<int>(value);
  in_addr ignored{};
  return inet_pton(AF_INET, address.c_str(), &ignored) == 1;
}

bool ParseNumber(const char* text, int& out) {
  char* end = nullptr;
  long value = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || value < 0 || value > 86400000) return false;
  out = static_cast<int>(value);
  return true;
}

int ParseOptions(int argc, char** argv, Options& o) {
  bool haveMode = false;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto next = [&](int count) { return i + count < argc; };
    if (a == "--listen" && next(1)) {
      std::string address;
      int port = 0;
      if (!ParseAddress(argv[++i], address, port)) return 2;
      o.listen.emplace_back(address, port);
    } else if (a == "--tls" && next(2)) {
      o.cert = argv[++i];
      o.key = argv[++i];
    } else if (a == "--mode" && next(1)) {
      if (!ParseMode(argv[++i], o.mode)) return 2;
      haveMode = true;
    } else if (a == "--body" && next(1)) {
      o.body = argv[++i];
    } else if (a == "--body-file" && next(1)) {
      std::ifstream in(argv[++i], std::ios::binary);
      if (!in) {
        std::fprintf(stderr, "fault-peer: cannot read %s\n", argv[i]);
        return 1;
      }
      std::ostringstream text;
      text << in.rdbuf();
      o.body = text.str();
    } else if (a == "--log" && next(1)) {
      o.logFile = argv[++i];
    } else if (a == "--ready-file" && next(1)) {
      o.readyFile = argv[++i];
    } else if (a == "--delay-ms" && next(1)) {
      if (!ParseNumber(argv[++i], o.delayMs)) return 2;
    } else if (a == "--stall-ms" && next(1)) {
      if (!ParseNumber(argv[++i], o.stallMs)) return 2;
    } else if (a == "--rate" && next(1)) {
      if (!ParseNumber(argv[++i], o.rate) || o.rate == 0) return 2;
    } else {
      return 2;
    }
  }
  if (o.mode == Mode::kTlsGarbage && o.cert.empty()) return 2;
  return o.listen.empty() || !haveMode ? 2 : 0;
}

// --- process-wide state ---------------------------------------------------------------------

std::atomic<bool> gStopping{false};
int gWakePipe[2] = {-1, -1};
std::mutex gMutex;             // guards the sets below and the output
std::set<int> gOpenSockets;    // connections being served; shut down when stopping
std::vector<std::thread> gConnections;
unsigned long gRequestCount = 0;
std::FILE* gLog = nullptr;

void Say(const std::string& line) {
  std::lock_guard<std::mutex> lock(gMutex);
  std::fprintf(stdout, "%s\n", line.c_str());
  std::fflush(stdout);
}

// One accepted connection, plain or TLS.
class Connection {
 public:
  Connection(int fd, SSL* ssl) : fd_(fd), ssl_(ssl) {
    std::lock_guard<std::mutex> lock(gMutex);
    gOpenSockets.insert(fd_);
  }
  ~Connection() {
    if (ssl_ != nullptr) {
      if (!reset_) SSL_shutdown(ssl_);
      SSL_free(ssl_);
    }
    {
      std::lock_guard<std::mutex> lock(gMutex);
      gOpenSockets.erase(fd_);
    }
    close(fd_);
  }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Reads what the client sends first (its TLS hello) and answers with the header of a
  // handshake record of 16 KiB and a few bytes of it: a client waits for the rest.
  void GarbageHandshake() {
    char buffer[4096];
    if (recv(fd_, buffer, sizeof buffer, 0) <= 0) return;
    static const char kStart[] = "\x16\x03\x03\x40\x00\x02\x00\x3f\xfc\x03\x03garbage";
    if (send(fd_, kStart, sizeof kStart - 1, MSG_NOSIGNAL) < 0) reset_ = true;
  }

  bool Handshake() {
    if (ssl_ == nullptr) return true;
    SSL_set_fd(ssl_, fd_);
    if (SSL_accept(ssl_) == 1) return true;
    ERR_clear_error();
    reset_ = true;  // no close_notify on a failed handshake
    return false;
  }

  // Reads up to the end of the request head; false when the client leaves or sends nonsense.
  bool ReadHead(std::string& head) {
    char buffer[4096];
    while (head.find("\r\n\r\n") == std::string::npos) {
      if (head.size() > 64 * 1024) return false;
      int n = ssl_ != nullptr ? SSL_read(ssl_, buffer, sizeof buffer)
                              : static_cast<int>(recv(fd_, buffer, sizeof buffer, 0));
      if (n <= 0) {
        ERR_clear_error();
        return false;
      }
      head.append(buffer, static_cast<size_t>(n));
    }
    return true;
  }

  bool Write(const std::string& bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
      int chunk = static_cast<int>(std::min<size_t>(bytes.size() - sent, 1 << 20));
      int n = ssl_ != nullptr ? SSL_write(ssl_, bytes.data() + sent, chunk)
                              : static_cast<int>(send(fd_, bytes.data() + sent,
                                                      static_cast<size_t>(chunk), MSG_NOSIGNAL));
      if (n <= 0) {
        ERR_clear_error();
        reset_ = true;
        return false;
      }
      sent += static_cast<size_t>(n);
    }
    return true;
  }

  // Ends the connection with a reset instead of an orderly close.
  void Reset() {
    linger hard{1, 0};
    setsockopt(fd_, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    reset_ = true;
  }

  // Waits until the client closes, the peer stops, or timeoutMs passes (0: no limit).
  void Stall(int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!gStopping) {
      pollfd p{fd_, POLLIN, 0};
      int rc = poll(&p, 1, 200);
      if (rc > 0) {
        char buffer[1024];
        ssize_t n = recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) return;  // client left
      }
      if (timeoutMs > 0 && std::chrono::steady_clock::now() >= deadline) return;
    }
  }

 private:
  int fd_;
  SSL* ssl_;
  bool reset_ = false;
};

std::string Head(int status, const char* reason, const std::string& lengthHeader) {
  return "HTTP/1.1 " + std::to_string(status) + " " + reason + "\r\n" + lengthHeader +
         "Content-Type: application/octet-stream\r\nConnection: close\r\n\r\n";
}

std::string LengthHeader(size_t n) { return "Content-Length: " + std::to_string(n) + "\r\n"; }

void Serve(int fd, SSL_CTX* tls, const Options& o, std::string client) {
  if (o.mode == Mode::kTlsGarbage) {
    Connection raw(fd, nullptr);
    raw.GarbageHandshake();
    raw.Stall(o.stallMs);
    return;
  }
  Connection conn(fd, tls != nullptr ? SSL_new(tls) : nullptr);
  timeval timeout{10, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  std::string head;
  if (!conn.Handshake() || !conn.ReadHead(head)) return;

  std::string requestLine = head.substr(0, head.find("\r\n"));
  std::string method = requestLine.substr(0, requestLine.find(' '));
  std::string target = requestLine.substr(method.size() + (method.size() < requestLine.size()));
  target = target.substr(0, target.rfind(' '));
  {
    std::lock_guard<std::mutex> lock(gMutex);
    std::string line = "request " + std::to_string(++gRequestCount) + " " + client + " " + method +
                       " " + target;
    std::fprintf(stdout, "%s\n", line.c_str());
    std::fflush(stdout);
    if (gLog != nullptr) {
      std::fprintf(gLog, "%s\n", line.c_str());
      std::fflush(gLog);
    }
  }
  if (o.delayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(o.delayMs));

  const std::string& body = o.body;
  const std::string half = body.substr(0, body.size() / 2);
  bool head_only = method == "HEAD";
  switch (o.mode) {
    case Mode::kOk:
      conn.Write(Head(200, "OK", LengthHeader(body.size())) + (head_only ? "" : body));
      break;
    case Mode::kNotFound:
      conn.Write(Head(404, "Not Found", LengthHeader(body.size())) + (head_only ? "" : body));
      break;
    case Mode::kServerError:
      conn.Write(Head(500, "Internal Server Error", LengthHeader(body.size())) +
                 (head_only ? "" : body));
      break;
    case Mode::kChunked: {
      std::string out = Head(200, "OK", "Transfer-Encoding: chunked\r\n");
      for (size_t at = 0; at < body.size(); at += 1000) {
        size_t n = std::min<size_t>(1000, body.size() - at);
        char size[32];
        std::snprintf(size, sizeof size, "%zx\r\n", n);
        out += size + body.substr(at, n) + "\r\n";
      }
      out += "0\r\n\r\n";
      conn.Write(out);
      break;
    }
    case Mode::kShort:
      conn.Write(Head(200, "OK", LengthHeader(body.size())) + half);
      break;
    case Mode::kDrop:
      if (conn.Write(Head(200, "OK", LengthHeader(body.size())) + half)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));  // let the bytes leave
      }
      conn.Reset();
      break;
    case Mode::kOverlong:
      conn.Write(Head(200, "OK", LengthHeader(body.size())) + body +
                 "OVERLONG-EXTRA-BYTES-0123456789\n");
      break;
    case Mode::kClose:
      break;
    case Mode::kStall:
      conn.Stall(o.stallMs);
      break;
    case Mode::kStallBody:
      if (conn.Write(Head(200, "OK", LengthHeader(body.size())) + half)) conn.Stall(o.stallMs);
      break;
    case Mode::kTrickle: {
      if (!conn.Write(Head(200, "OK", LengthHeader(body.size())))) break;
      // Ten pieces a second (at least a byte each) until the body is out or the client left.
      const size_t piece = std::max<size_t>(1, static_cast<size_t>(o.rate) / 10);
      const auto pause = std::chrono::microseconds(1000000LL * static_cast<long long>(piece) / o.rate);
      for (size_t at = 0; at < body.size() && !gStopping; at += piece) {
        if (!conn.Write(body.substr(at, piece))) break;
        std::this_thread::sleep_for(pause);
      }
      break;
    }
    case Mode::kTlsGarbage:
      break;
  }
}

int Listen(const std::string& address, int port, int& boundPort) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  int yes = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, address.c_str(), &addr.sin_addr);
  socklen_t len = sizeof addr;
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(fd, 64) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    close(fd);
    return -1;
  }
  boundPort = ntohs(addr.sin_port);
  return fd;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  int rc = ParseOptions(argc, argv, o);
  if (rc != 0) {
    if (rc == 2) std::fputs(kUsage, stderr);
    return rc;
  }
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> tls(nullptr, SSL_CTX_free);
  if (!o.cert.empty()) {
    tls.reset(SSL_CTX_new(TLS_server_method()));
    if (!tls || SSL_CTX_use_certificate_chain_file(tls.get(), o.cert.c_str()) != 1 ||
        SSL_CTX_use_PrivateKey_file(tls.get(), o.key.c_str(), SSL_FILETYPE_PEM) != 1 ||
        SSL_CTX_check_private_key(tls.get()) != 1) {
      std::fprintf(stderr, "fault-peer: cannot use certificate %s with key %s\n", o.cert.c_str(),
                   o.key.c_str());
      return 1;
    }
  }
  if (!o.logFile.empty()) {
    gLog = std::fopen(o.logFile.c_str(), "a");
    if (gLog == nullptr) {
      std::fprintf(stderr, "fault-peer: cannot open %s\n", o.logFile.c_str());
      return 1;
    }
  }

  std::vector<int> listeners;
  std::string listing;
  for (const auto& [address, port] : o.listen) {
    int bound = 0;
    int fd = Listen(address, port, bound);
    if (fd < 0) {
      std::fprintf(stderr, "fault-peer: cannot listen on %s:%d: %s\n", address.c_str(), port,
                   std::strerror(errno));
      return 1;
    }
    listeners.push_back(fd);
    listing += std::string(tls ? "https " : "http ") + address + ":" + std::to_string(bound) + "\n";
  }
  if (pipe2(gWakePipe, O_CLOEXEC) != 0) return 1;

  std::thread acceptor([&] {
    std::vector<pollfd> fds;
    for (int fd : listeners) fds.push_back(pollfd{fd, POLLIN, 0});
    fds.push_back(pollfd{gWakePipe[0], POLLIN, 0});
    while (!gStopping) {
      if (poll(fds.data(), fds.size(), -1) < 0) continue;
      for (size_t i = 0; i + 1 < fds.size(); ++i) {
        if ((fds[i].revents & POLLIN) == 0) continue;
        sockaddr_in peer{};
        socklen_t len = sizeof peer;
        int fd = accept4(fds[i].fd, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_CLOEXEC);
        if (fd < 0) continue;
        char ip[INET_ADDRSTRLEN] = "?";
        inet_ntop(AF_INET, &peer.sin_addr, ip, sizeof ip);
        std::string client = std::string(ip) + ":" + std::to_string(ntohs(peer.sin_port));
        std::lock_guard<std::mutex> lock(gMutex);
        gConnections.emplace_back(Serve, fd, tls.get(), std::cref(o), client);
      }
    }
  });

  if (!o.readyFile.empty()) {
    std::string temp = o.readyFile + ".tmp";
    std::ofstream(temp, std::ios::binary | std::ios::trunc) << listing;
    std::rename(temp.c_str(), o.readyFile.c_str());
  }
  std::istringstream lines(listing);
  std::string line;
  while (std::getline(lines, line)) Say("listening " + line);
  Say("ready");

  int signalNumber = 0;
  sigwait(&stopSignals, &signalNumber);
  gStopping = true;
  if (write(gWakePipe[1], "x", 1) < 0) {
    // the acceptor also notices gStopping on its next wake-up
  }
  acceptor.join();
  for (int fd : listeners) close(fd);
  {
    std::lock_guard<std::mutex> lock(gMutex);
    for (int fd : gOpenSockets) shutdown(fd, SHUT_RDWR);
  }
  // No new connection threads start now; join the ones there are.
  std::vector<std::thread> connections;
  {
    std::lock_guard<std::mutex> lock(gMutex);
    connections.swap(gConnections);
  }
  for (auto& t : connections) t.join();
  if (gLog != nullptr) std::fclose(gLog);
  Say("stopped");
  return 0;
}
