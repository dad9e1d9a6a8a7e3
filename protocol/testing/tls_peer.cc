#include "protocol/testing/tls_peer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "base/strings.h"
#include "protocol/testing/peer_pattern.h"

namespace corlinq::testing {
namespace {

// One server context with a fresh self-signed certificate, shared by every peer of the process.
SSL_CTX* SharedContext() {
  static SSL_CTX* context = [] {
    EVP_PKEY* key = EVP_RSA_gen(2048);
    X509* cert = X509_new();
    ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
    X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert), 86400L * 30);
    X509_set_pubkey(cert, key);
    X509_NAME* name = X509_get_subject_name(cert);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("corlinq test peer"), -1, -1, 0);
    X509_set_issuer_name(cert, name);
    X509_sign(cert, key, EVP_sha256());
    SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
    // Every connection is a fresh handshake: no session cache, no tickets.
    SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
    SSL_CTX_set_num_tickets(ctx, 0);
    SSL_CTX_use_certificate(ctx, cert);
    SSL_CTX_use_PrivateKey(ctx, key);
    X509_free(cert);
    EVP_PKEY_free(key);
    return ctx;
  }();
  return context;
}

int Listen(const std::string& address, uint16_t& port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return -1;
  const int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
  sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_port = 0;
  if (inet_pton(AF_INET, address.c_str(), &addr.sin_addr) != 1 ||
      bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 || listen(fd, 16) != 0) {
    close(fd);
    return -1;
  }
  socklen_t length = sizeof(addr);
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length);
  port = ntohs(addr.sin_port);
  return fd;
}

class Peer final : public TlsPeer {
 public:
  Peer(std::string name, std::string address, Mode mode, int listenFd, uint16_t port)
      : name_(std::move(name)), address_(std::move(address)), mode_(mode), listenFd_(listenFd), port_(port) {
    acceptor_ = std::thread([this] { AcceptLoop(); });
  }

  ~Peer() override {
    stopping_ = true;
    acceptor_.join();
    for (std::thread& t : connections_) t.join();
    close(listenFd_);
  }

  std::string BaseUrl() const override { return StrPrintf("https://%s:%u", address_.c_str(), port_); }
  int Hits() const override { return hits_; }

 private:
  void AcceptLoop() {
    while (!stopping_) {
      pollfd p = {listenFd_, POLLIN, 0};
      if (poll(&p, 1, 50) <= 0) continue;
      const int fd = accept(listenFd_, nullptr, nullptr);
      if (fd < 0) continue;
      connections_.emplace_back([this, fd] {
        Serve(fd);
        OPENSSL_thread_stop();  // this thread's error queue and random state
      });
    }
  }

  // Waits until the peer stops (or the client goes away when watchClient).
  void HoldUntilStop(int fd) {
    while (!stopping_) {
      pollfd p = {fd, POLLIN, 0};
      if (poll(&p, 1, 50) > 0) {
        char byte;
        if (recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT) == 0) return;  // client closed
        if (mode_ == Mode::kMute) {
          char sink[4096];
          if (recv(fd, sink, sizeof(sink), MSG_DONTWAIT) <= 0) return;
        } else {
          std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
      }
    }
  }

  void Serve(int fd) {
    if (mode_ == Mode::kMute) {
      HoldUntilStop(fd);
      close(fd);
      return;
    }
    timeval timeout = {5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof(timeout));
    SSL* ssl = SSL_new(SharedContext());
    SSL_set_fd(ssl, fd);
    bool reset = false;
    if (SSL_accept(ssl) == 1) {
      while (!stopping_) {
        std::string head;
        if (!ReadHead(ssl, head)) break;
        const size_t sp1 = head.find(' ');
        const size_t sp2 = head.find(' ', sp1 + 1);
        if (sp1 == std::string::npos || sp2 == std::string::npos) break;
        if (mode_ == Mode::kStall) {
          HoldUntilStop(fd);
          break;
        }
        const Outcome outcome = Respond(ssl, fd, head.substr(sp1 + 1, sp2 - sp1 - 1));
        if (outcome == Outcome::kReset) reset = true;
        if (outcome != Outcome::kKeepAlive) break;
      }
    }
    if (reset) {
      linger hard = {1, 0};
      setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof(hard));
    } else {
      SSL_shutdown(ssl);
    }
    SSL_free(ssl);
    close(fd);
  }

  static bool ReadHead(SSL* ssl, std::string& head) {
    char c;
    while (head.size() < 65536) {
      if (SSL_read(ssl, &c, 1) != 1) return false;
      head += c;
      if (head.size() >= 4 && head.compare(head.size() - 4, 4, "\r\n\r\n") == 0) return true;
    }
    return false;
  }

  static bool Send(SSL* ssl, const std::string& bytes) {
    return bytes.empty() || SSL_write(ssl, bytes.data(), static_cast<int>(bytes.size())) == static_cast<int>(bytes.size());
  }

  static bool SendPattern(SSL* ssl, uint64_t size) {
    std::vector<char> buffer(64 * 1024);
    for (uint64_t at = 0; at < size;) {
      const size_t piece = static_cast<size_t>(std::min<uint64_t>(buffer.size(), size - at));
      FillPattern(at, buffer.data(), piece);
      if (SSL_write(ssl, buffer.data(), static_cast<int>(piece)) != static_cast<int>(piece)) return false;
      at += piece;
    }
    return true;
  }

  enum class Outcome { kKeepAlive, kClose, kReset };

  Outcome Respond(SSL* ssl, int fd, const std::string& target) {
    auto simple = [&](int status, const std::string& body) {
      Send(ssl, StrPrintf("HTTP/1.1 %d X\r\nContent-Type: text/html\r\nContent-Length: %zu\r\n\r\n", status, body.size()) + body);
      return Outcome::kKeepAlive;
    };
    if (target.rfind("/_hits", 0) == 0) return simple(200, std::to_string(hits_.load()));
    ++hits_;
    if (target.rfind("/assist/server", 0) == 0) return simple(200, "answer from " + name_);
    if (target.rfind("/status/", 0) == 0) {
      const int code = std::atoi(target.c_str() + 8);
      return simple(code, StrPrintf("<html><body>%d from %s</body></html>", code, name_.c_str()));
    }
    if (target == "/dl/404") return simple(404, "<html>no such file</html>");

    const size_t slash = target.rfind('/');
    const std::string kind = target.substr(0, slash);
    const uint64_t n = std::strtoull(target.c_str() + slash + 1, nullptr, 10);
    const auto header = [&](const std::string& extra) {
      return Send(ssl, "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\n" + extra + "\r\n");
    };
    if (kind == "/dl/ok") {
      header(StrPrintf("Content-Length: %llu\r\n", static_cast<unsigned long long>(n)));
      return SendPattern(ssl, n) ? Outcome::kKeepAlive : Outcome::kClose;
    }
    if (kind == "/dl/short") {
      header(StrPrintf("Content-Length: %llu\r\nConnection: close\r\n", static_cast<unsigned long long>(n)));
      SendPattern(ssl, n > 10 ? n - 10 : 0);
      return Outcome::kClose;
    }
    if (kind == "/dl/drop") {
      header(StrPrintf("Content-Length: %llu\r\n", static_cast<unsigned long long>(n)));
      SendPattern(ssl, n / 2);
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      return Outcome::kReset;
    }
    if (kind == "/dl/long") {
      header(StrPrintf("Content-Length: %llu\r\nConnection: close\r\n", static_cast<unsigned long long>(n)));
      SendPattern(ssl, n + 100);
      return Outcome::kClose;
    }
    if (kind == "/dl/chunked") {
      header("Transfer-Encoding: chunked\r\n");
      if (n > 0) {
        Send(ssl, StrPrintf("%llx\r\n", static_cast<unsigned long long>(n)));
        SendPattern(ssl, n);
        Send(ssl, "\r\n");
      }
      Send(ssl, "0\r\n\r\n");
      return Outcome::kKeepAlive;
    }
    if (kind == "/dl/noclen") {
      header("Connection: close\r\n");
      SendPattern(ssl, n);
      return Outcome::kClose;
    }
    if (kind == "/dl/stall") {
      header(StrPrintf("Content-Length: %llu\r\n", static_cast<unsigned long long>(n)));
      SendPattern(ssl, n / 2);
      HoldUntilStop(fd);
      return Outcome::kReset;
    }
    return simple(404, "<html>unknown</html>");
  }

  const std::string name_;
  const std::string address_;
  const Mode mode_;
  const int listenFd_;
  const uint16_t port_;
  std::atomic<bool> stopping_{false};
  std::atomic<int> hits_{0};
  std::thread acceptor_;
  std::vector<std::thread> connections_;  // touched by the acceptor only, joined after it
};

}  // namespace

std::unique_ptr<TlsPeer> TlsPeer::Start(const std::string& name, const std::string& address,
                                        Mode mode, std::string* error) {
  if (!SharedContext()) {
    if (error) *error = "cannot make the TLS context";
    return nullptr;
  }
  uint16_t port = 0;
  const int fd = Listen(address, port);
  if (fd < 0) {
    if (error) *error = "cannot listen on " + address + ": " + std::strerror(errno);
    return nullptr;
  }
  return std::make_unique<Peer>(name, address, mode, fd, port);
}

std::string ClosedPortUrl(const std::string& address) {
  uint16_t port = 0;
  const int fd = Listen(address, port);
  if (fd < 0) return "https://" + address + ":1";
  close(fd);  // nothing listens there any more
  return StrPrintf("https://%s:%u", address.c_str(), port);
}

}  // namespace corlinq::testing
