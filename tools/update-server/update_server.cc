#include "tools/update-server/update_server.h"

#include <fcntl.h>
#include <httplib.h>
#include <json/json.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <mutex>
#include <utility>

#include "base/strings.h"
#include "tools/update-server/release_path.h"

namespace corlinq {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// What the log line of the request being handled on this worker thread needs besides the
// request and the response. The handler and the logger run on the same worker thread.
struct RequestStats {
  bool started = false;
  Clock::time_point start;
  unsigned long long bytes = 0;
};
thread_local RequestStats tlStats;

std::mutex gLogMutex;

std::string UtcNow() {
  auto now = std::chrono::system_clock::now();
  std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
            1000;
  std::tm tm{};
  gmtime_r(&seconds, &tm);
  char text[40];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &tm);
  return StrPrintf("%s.%03dZ", text, static_cast<int>(ms));
}

// Owns a file descriptor.
class UniqueFd {
 public:
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() {
    if (fd_ >= 0) close(fd_);
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

// Sets a body with an exact Content-Length. The body goes through a content provider so that
// the library never compresses it: the client names gzip and deflate but decodes neither.
void SetBody(httplib::Response& res, int status, std::string body, const char* contentType) {
  res.status = status;
  if (body.empty()) return;  // the library then sends "Content-Length: 0"
  auto text = std::make_shared<std::string>(std::move(body));
  res.set_content_provider(text->size(), contentType,
                           [text](size_t offset, size_t length, httplib::DataSink& sink) {
                             if (!sink.write(text->data() + offset, length)) return false;
                             tlStats.bytes += length;
                             return true;
                           });
}

void SetError(httplib::Response& res, int status, const char* message) {
  SetBody(res, status, std::string(message) + "\n", "text/plain; charset=utf-8");
}

const char* ContentTypeFor(const fs::path& file) {
  std::string ext = ToLowerAscii(file.extension().string());
  if (ext == ".xml") return "application/xml";
  if (ext == ".txt") return "text/plain; charset=utf-8";
  return "application/octet-stream";
}

// The Host header when it is a plain host[:port], else the address the request came in on.
std::string HostForUrl(const httplib::Request& req) {
  std::string host = req.get_header_value("Host");
  bool plain = !host.empty() && host.size() < 256;
  for (char c : host) {
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '.' || c == '-' || c == ':' || c == '[' || c == ']';
    plain = plain && ok;
  }
  if (plain) return host;
  return StrPrintf("%s:%d", req.local_addr.c_str(), req.local_port);
}

}  // namespace

std::string FormatRequestLogLine(const std::string& utcTime, const std::string& clientAddress,
                                 int clientPort, const std::string& method,
                                 const std::string& target, int status, unsigned long long bytes,
                                 double milliseconds) {
  constexpr size_t kMaxTarget = 256;
  std::string shown;
  for (size_t i = 0; i < target.size() && i < kMaxTarget; ++i) {
    unsigned char c = static_cast<unsigned char>(target[i]);
    if (c <= 0x20 || c == 0x7f || c == '"') {
      shown += StrPrintf("%%%02X", c);
    } else {
      shown.push_back(static_cast<char>(c));
    }
  }
  if (target.size() > kMaxTarget) shown += "...";
  if (shown.empty()) shown = "-";
  return StrPrintf("%s %s:%d %s %s %d %llu %.3fms", utcTime.c_str(), clientAddress.c_str(),
                   clientPort, method.empty() ? "-" : method.c_str(), shown.c_str(), status,
                   bytes, milliseconds);
}

struct UpdateServer::Listener {
  ListenerConfig config;
  std::unique_ptr<httplib::Server> server;
  std::thread thread;
  std::atomic<bool> finished{false};
};

UpdateServer::UpdateServer(UpdateServerConfig config, EnvelopeKey key, std::FILE* log)
    : config_(std::move(config)), key_(std::move(key)), log_(log) {}

UpdateServer::~UpdateServer() { Stop(); }

namespace {

// Request handling shared by every listener. Lives as long as the server.
class Handler {
 public:
  Handler(const UpdateServerConfig& config, const EnvelopeKey& key, bool tls)
      : config_(config), key_(key), tls_(tls) {
    size_t q = config.requestPath.find('?');
    queryPath_ = config.requestPath.substr(0, q);
  }

  void Handle(const httplib::Request& req, httplib::Response& res) const {
    if (req.method != "GET" && req.method != "HEAD") {
      res.set_header("Allow", "GET, HEAD");
      SetError(res, 405, "method not allowed");
      return;
    }
    const std::string& target = req.target;
    if (target.compare(0, config_.requestPath.size(), config_.requestPath) == 0) {
      AnswerVersionQuery(req, target.substr(config_.requestPath.size()), res);
      return;
    }
    std::string rawPath = target.substr(0, target.find('?'));
    if (rawPath == queryPath_) {
      SetError(res, 400, "malformed version query");
      return;
    }
    ServeFile(rawPath, res);
  }

 private:
  void AnswerVersionQuery(const httplib::Request& req, const std::string& envelope,
                          httplib::Response& res) const {
    std::string plaintext;
    if (envelope.empty() ||
        !OpenEnvelopeToText(key_, envelope.data(), envelope.size(), plaintext)) {
      SetError(res, 400, "the query cannot be opened");
      return;
    }
    uint32_t bankId = 0;
    const BankRelease* bank = nullptr;
    if (ParseBankIdText(plaintext, bankId)) {
      for (const BankRelease& b : config_.banks) {
        if (b.bankId == bankId) bank = &b;
      }
    }
    if (bank == nullptr) {
      SetError(res, 404, "unknown bank");
      return;
    }
    Json::Value reply(Json::objectValue);
    reply["v"] = bank->version;
    reply["url"] = bank->url.empty()
                       ? std::string(tls_ ? "https://" : "http://") + HostForUrl(req) + bank->prefix
                       : bank->url;
    reply["update"] = bank->update;
    Json::StreamWriterBuilder writer;
    writer["indentation"] = "";
    std::string sealed;
    if (!SealEnvelopeText(key_, Json::writeString(writer, reply), sealed)) {
      SetError(res, 500, "the reply cannot be sealed");
      return;
    }
    SetBody(res, 200, std::move(sealed), "text/plain");
  }

  void ServeFile(const std::string& rawPath, httplib::Response& res) const {
    std::string path;
    if (!PercentDecodePath(rawPath, path)) {
      SetError(res, 400, "malformed path");
      return;
    }
    // The release with the longest prefix that the path starts with, on a segment boundary.
    const BankRelease* bank = nullptr;
    for (const BankRelease& b : config_.banks) {
      bool match = path.compare(0, b.prefix.size(), b.prefix) == 0 &&
                   (path.size() == b.prefix.size() || path[b.prefix.size()] == '/' ||
                    path[b.prefix.size()] == '\\');
      if (match && (bank == nullptr || b.prefix.size() > bank->prefix.size())) bank = &b;
    }
    if (bank == nullptr) {
      SetError(res, 404, "not found");
      return;
    }
    fs::path file;
    switch (ResolveReleaseFile(bank->releaseDir, std::string_view(path).substr(bank->prefix.size()),
                               file)) {
      case ReleasePathResult::kForbidden:
        SetError(res, 403, "forbidden");
        return;
      case ReleasePathResult::kNotFound:
        SetError(res, 404, "not found");
        return;
      case ReleasePathResult::kFound:
        break;
    }
    int rawFd = open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (rawFd < 0) {
      SetError(res, 404, "not found");
      return;
    }
    auto fd = std::make_shared<UniqueFd>(rawFd);
    struct stat st{};
    if (fstat(fd->get(), &st) != 0 || !S_ISREG(st.st_mode)) {
      SetError(res, 404, "not found");
      return;
    }
    res.status = 200;
    if (st.st_size == 0) return;  // "Content-Length: 0"
    // Streams the file: the library asks for the next piece at `offset` until the whole length
    // is sent. A file that shrinks under way ends the connection instead of sending a wrong
    // length.
    res.set_content_provider(
        static_cast<size_t>(st.st_size), ContentTypeFor(file),
        [fd](size_t offset, size_t length, httplib::DataSink& sink) {
          char buffer[64 * 1024];
          size_t want = length < sizeof buffer ? length : sizeof buffer;
          ssize_t got = pread(fd->get(), buffer, want, static_cast<off_t>(offset));
          if (got <= 0) return false;
          if (!sink.write(buffer, static_cast<size_t>(got))) return false;
          tlStats.bytes += static_cast<unsigned long long>(got);
          return true;
        });
  }

  const UpdateServerConfig& config_;
  const EnvelopeKey& key_;
  bool tls_;
  std::string queryPath_;
};

}  // namespace

bool UpdateServer::Start(std::string& error) {
  for (const BankRelease& bank : config_.banks) {
    std::error_code ec;
    if (!fs::is_directory(bank.releaseDir, ec)) {
      error = "release folder of bank " + bank.bankIdText + " is not a folder: " + bank.releaseDir;
      return false;
    }
  }
  for (const ListenerConfig& lc : config_.listeners) {
    auto listener = std::make_unique<Listener>();
    listener->config = lc;
    if (lc.tls) {
      auto ssl = std::make_unique<httplib::SSLServer>(config_.certificateFile.c_str(),
                                                      config_.privateKeyFile.c_str());
      if (!ssl->is_valid()) {
        error = "cannot use certificate " + config_.certificateFile + " with key " +
                config_.privateKeyFile;
        Stop();
        return false;
      }
      listener->server = std::move(ssl);
    } else {
      listener->server = std::make_unique<httplib::Server>();
    }
    httplib::Server& server = *listener->server;
    int threads = config_.threads;
    server.new_task_queue = [threads] {
      return new httplib::ThreadPool(static_cast<size_t>(threads));
    };
    // Only SO_REUSEADDR: the library's default SO_REUSEPORT would let a second server start on
    // a port already in use and silently share its connections.
    server.set_socket_options([](socket_t sock) {
      int yes = 1;
      setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    server.set_keep_alive_timeout(2);
    server.set_read_timeout(10, 0);
    server.set_write_timeout(30, 0);
    auto handler = std::make_shared<Handler>(config_, key_, lc.tls);
    server.set_pre_routing_handler(
        [handler](const httplib::Request& req, httplib::Response& res) {
          tlStats = RequestStats{true, Clock::now(), 0};
          handler->Handle(req, res);
          return httplib::Server::HandlerResponse::Handled;
        });
    std::FILE* log = log_;
    server.set_logger([log](const httplib::Request& req, const httplib::Response& res) {
      double ms = 0;
      if (tlStats.started) {
        ms = std::chrono::duration<double, std::milli>(Clock::now() - tlStats.start).count();
      }
      std::string line = FormatRequestLogLine(UtcNow(), req.remote_addr, req.remote_port,
                                              req.method, req.target, res.status, tlStats.bytes,
                                              ms);
      tlStats = RequestStats{};
      std::lock_guard<std::mutex> lock(gLogMutex);
      std::fprintf(log, "%s\n", line.c_str());
      std::fflush(log);
    });
    int port = lc.port;
    if (port == 0) {
      port = server.bind_to_any_port(lc.address);
      if (port <= 0) {
        error = "cannot listen on " + lc.address;
        Stop();
        return false;
      }
    } else if (!server.bind_to_port(lc.address, port)) {
      error = StrPrintf("cannot listen on %s:%d", lc.address.c_str(), port);
      Stop();
      return false;
    }
    bound_.push_back(BoundListener{lc.address, port, lc.tls});
    listeners_.push_back(std::move(listener));
  }
  for (auto& listener : listeners_) {
    Listener* l = listener.get();
    l->thread = std::thread([this, l] { Serve(*l); });
  }
  return true;
}

void UpdateServer::Serve(Listener& listener) {
  if (!listener.server->listen_after_bind()) {
    std::lock_guard<std::mutex> lock(gLogMutex);
    std::fprintf(stderr, "listener %s:%d stopped on an error\n", listener.config.address.c_str(),
                 listener.config.port);
  }
  listener.finished = true;
}

void UpdateServer::Stop() {
  for (auto& listener : listeners_) {
    // A listener whose thread has not entered its accept loop yet still has its socket bound;
    // wait until it runs, so that stop() closes the socket and the loop ends.
    if (listener->thread.joinable()) {
      while (!listener->server->is_running() && !listener->finished) std::this_thread::yield();
    }
    listener->server->stop();
  }
  for (auto& listener : listeners_) {
    if (listener->thread.joinable()) listener->thread.join();
  }
  listeners_.clear();
}

}  // namespace corlinq
