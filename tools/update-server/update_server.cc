#include "tools/update-server/update_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gnutls/gnutls.h>
#include <json/json.h>
#include <microhttpd.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <thread>
#include <utility>

#include "base/strings.h"
#include "tools/update-server/byte_range.h"
#include "tools/update-server/release_path.h"

namespace corlinq {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

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

bool ReadFile(const std::string& path, std::string& text) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream out;
  out << in.rdbuf();
  text = out.str();
  return static_cast<bool>(in) || in.eof();
}

// The numeric text of an address; IPv6 in brackets when `bracketed`.
std::string AddressText(const sockaddr* sa, bool bracketed, int* port) {
  char text[INET6_ADDRSTRLEN] = "?";
  if (sa == nullptr) return "-";
  if (sa->sa_family == AF_INET) {
    auto* in = reinterpret_cast<const sockaddr_in*>(sa);
    inet_ntop(AF_INET, &in->sin_addr, text, sizeof text);
    if (port) *port = ntohs(in->sin_port);
    return text;
  }
  if (sa->sa_family == AF_INET6) {
    auto* in6 = reinterpret_cast<const sockaddr_in6*>(sa);
    if (IN6_IS_ADDR_V4MAPPED(&in6->sin6_addr)) {
      inet_ntop(AF_INET, &in6->sin6_addr.s6_addr[12], text, sizeof text);
      if (port) *port = ntohs(in6->sin6_port);
      return text;
    }
    inet_ntop(AF_INET6, &in6->sin6_addr, text, sizeof text);
    if (port) *port = ntohs(in6->sin6_port);
    return bracketed ? "[" + std::string(text) + "]" : std::string(text);
  }
  return "-";
}

// An address text in its canonical numeric form (for comparing with trusted proxies), or
// empty when it is not a numeric address.
std::string CanonicalAddress(std::string text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.erase(0, 1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.pop_back();
  if (text.size() > 2 && text.front() == '[') {
    size_t close = text.find(']');
    if (close != std::string::npos) text = text.substr(1, close - 1);
  }
  char out[INET6_ADDRSTRLEN];
  in_addr v4{};
  in6_addr v6{};
  if (inet_pton(AF_INET, text.c_str(), &v4) == 1) {
    inet_ntop(AF_INET, &v4, out, sizeof out);
    return out;
  }
  if (inet_pton(AF_INET6, text.c_str(), &v6) == 1) {
    if (IN6_IS_ADDR_V4MAPPED(&v6)) {
      inet_ntop(AF_INET, &v6.s6_addr[12], out, sizeof out);
      return out;
    }
    inet_ntop(AF_INET6, &v6, out, sizeof out);
    return out;
  }
  // "address:port" of IPv4
  size_t colon = text.rfind(':');
  if (colon != std::string::npos && text.find(':') == colon &&
      inet_pton(AF_INET, text.substr(0, colon).c_str(), &v4) == 1) {
    inet_ntop(AF_INET, &v4, out, sizeof out);
    return out;
  }
  return std::string();
}

const char* ContentTypeFor(const fs::path& file) {
  std::string ext = ToLowerAscii(file.extension().string());
  if (ext == ".xml") return "application/xml";
  if (ext == ".txt") return "text/plain; charset=utf-8";
  return "application/octet-stream";
}

bool PlainHost(const std::string& host) {
  if (host.empty() || host.size() >= 256) return false;
  for (char c : host) {
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '.' || c == '-' || c == ':' || c == '[' || c == ']';
    if (!ok) return false;
  }
  return true;
}

std::string ShownTarget(const std::string& target, bool json) {
  constexpr size_t kMaxTarget = 256;
  std::string shown;
  for (size_t i = 0; i < target.size() && i < kMaxTarget; ++i) {
    unsigned char c = static_cast<unsigned char>(target[i]);
    if (c <= 0x20 || c == 0x7f || c == '"' || (json && (c >= 0x80 || c == '\\'))) {
      shown += StrPrintf("%%%02X", c);
    } else {
      shown.push_back(static_cast<char>(c));
    }
  }
  if (target.size() > kMaxTarget) shown += "...";
  return shown;
}

// The private-key step of opening a query through OpenSSL, several times faster than the
// portable code's for the same pair (the update server's main cost). Empty when the PEM is not
// the same 1024-bit RSA pair as `key`; the portable step is used then.
EnvelopeKeyUnwrap FastUnwrap(const std::string& pem, const EnvelopeKey& key) {
  BIO* bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
  if (bio == nullptr) return {};
  EVP_PKEY* raw = PEM_read_bio_PrivateKey(bio, nullptr, nullptr, nullptr);
  BIO_free(bio);
  if (raw == nullptr) return {};
  std::shared_ptr<EVP_PKEY> pkey(raw, EVP_PKEY_free);
  BIGNUM* n = nullptr;
  bool same = EVP_PKEY_get_base_id(raw) == EVP_PKEY_RSA && EVP_PKEY_get_bits(raw) == 1024 &&
              EVP_PKEY_get_bn_param(raw, "n", &n) == 1;
  if (same) {
    char* hex = BN_bn2hex(n);
    std::string digits = hex != nullptr ? ToLowerAscii(hex) : std::string();
    OPENSSL_free(hex);
    digits.insert(0, key.n.size() > digits.size() ? key.n.size() - digits.size() : 0, '0');
    same = digits == key.n;
  }
  BN_free(n);
  if (!same) return {};
  // Decryption contexts are kept for the next query: each holds its own copy of the key, so the
  // library's blinding values carry over from one query to the next and no context is set up
  // (or shared under a lock) per query. There are as many as queries ran at once.
  struct Contexts {
    struct Free {
      void operator()(EVP_PKEY_CTX* ctx) const { EVP_PKEY_CTX_free(ctx); }
    };
    using Ctx = std::unique_ptr<EVP_PKEY_CTX, Free>;
    std::shared_ptr<EVP_PKEY> pkey;
    std::mutex mutex;
    std::vector<Ctx> idle;

    Ctx Take() {
      {
        std::lock_guard<std::mutex> lock(mutex);
        if (!idle.empty()) {
          Ctx ctx = std::move(idle.back());
          idle.pop_back();
          return ctx;
        }
      }
      EVP_PKEY* own = EVP_PKEY_dup(pkey.get());
      if (own == nullptr) return nullptr;
      Ctx ctx(EVP_PKEY_CTX_new(own, nullptr));
      EVP_PKEY_free(own);  // the context holds its own reference
      if (!ctx || EVP_PKEY_decrypt_init(ctx.get()) != 1 ||
          EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1) {
        return nullptr;
      }
      return ctx;
    }
    void Give(Ctx ctx) {
      std::lock_guard<std::mutex> lock(mutex);
      idle.push_back(std::move(ctx));
    }
  };
  auto contexts = std::make_shared<Contexts>();
  contexts->pkey = std::move(pkey);
  return [contexts](const unsigned char* block, size_t blockLength, unsigned char* out,
                    size_t outCapacity, size_t* outLength) {
    Contexts::Ctx ctx = contexts->Take();
    unsigned char plain[256];
    size_t length = sizeof plain;
    bool ok = ctx && EVP_PKEY_decrypt(ctx.get(), plain, &length, block, blockLength) == 1 &&
              length <= outCapacity;
    if (ok) contexts->Give(std::move(ctx));  // a failed one is not trusted again
    if (ok) {
      std::memcpy(out, plain, length);
      *outLength = length;
    }
    OPENSSL_cleanse(plain, sizeof plain);
    return ok;
  };
}

}  // namespace

std::string FormatLogRecord(const RequestLogRecord& r, bool json) {
  if (json) {
    Json::Value v(Json::objectValue);
    v["time"] = r.time;
    v["client"] = r.client.empty() ? "-" : r.client;
    if (r.port >= 0) v["port"] = r.port;
    if (!r.via.empty()) v["via"] = r.via;
    if (!r.method.empty()) v["method"] = r.method;
    if (!r.target.empty()) v["target"] = ShownTarget(r.target, true);
    v["status"] = r.status;
    v["bytes"] = Json::UInt64(r.bytes);
    v["ms"] = static_cast<double>(static_cast<long long>(r.milliseconds * 1000)) / 1000.0;
    if (!r.bank.empty()) v["bank"] = r.bank;
    if (!r.outcome.empty()) v["outcome"] = r.outcome;
    if (!r.reason.empty()) v["reason"] = r.reason;
    Json::StreamWriterBuilder writer;
    writer["indentation"] = "";
    writer["emitUTF8"] = true;
    return Json::writeString(writer, v);
  }
  std::string shown = ShownTarget(r.target, false);
  if (shown.empty()) shown = "-";
  std::string client = r.client.empty() ? "-" : r.client;
  if (r.port >= 0) client += StrPrintf(":%d", r.port);
  std::string line = StrPrintf("%s %s %s %s %d %llu %.3fms", r.time.c_str(), client.c_str(),
                               r.method.empty() ? "-" : r.method.c_str(), shown.c_str(), r.status,
                               r.bytes, r.milliseconds);
  if (!r.bank.empty()) line += " bank=" + r.bank;
  if (!r.outcome.empty()) line += " outcome=" + r.outcome;
  if (!r.via.empty()) line += " via=" + r.via;
  if (!r.reason.empty()) {
    std::string reason;
    for (char c : r.reason) {
      unsigned char u = static_cast<unsigned char>(c);
      if (u < 0x20 || u == 0x7f) {
        reason += ' ';
      } else if (c == '"' || c == '\\') {
        reason += '\\';
        reason += c;
      } else {
        reason += c;
      }
    }
    line += " reason=\"" + reason + "\"";
  }
  return line;
}

std::string FormatRequestLogLine(const std::string& utcTime, const std::string& clientAddress,
                                 int clientPort, const std::string& method,
                                 const std::string& target, int status, unsigned long long bytes,
                                 double milliseconds) {
  RequestLogRecord r;
  r.time = utcTime;
  r.client = clientAddress;
  r.port = clientPort;
  r.method = method;
  r.target = target;
  r.status = status;
  r.bytes = bytes;
  r.milliseconds = milliseconds;
  return FormatLogRecord(r, false);
}

bool LoadServerSetup(const std::string& configPath, ServerSetup& out, std::string& error) {
  ServerSetup setup;
  if (!LoadUpdateServerConfig(configPath, setup.config, error)) return false;
  const UpdateServerConfig& config = setup.config;
  auto addKey = [&](const std::string& file, bool shared) -> int {
    for (size_t i = 0; i < setup.keys.size(); ++i) {
      if (setup.keys[i].file == file) {
        setup.keys[i].shared = setup.keys[i].shared || shared;
        return static_cast<int>(i);
      }
    }
    std::string pem;
    EnvelopeKey key;
    if (!ReadFile(file, pem) || !LoadEnvelopeKeyPem(pem, key)) {
      error = "cannot read the envelope key " + file + " (a 1024-bit RSA key pair in PEM)";
      return -1;
    }
    auto prepared = PreparedEnvelopeKey::Prepare(key, FastUnwrap(pem, key));
    if (!prepared) {
      error = "the envelope key " + file + " fails the RSA key checks";
      return -1;
    }
    setup.keys.push_back(ServerSetup::Key{file, std::move(prepared), shared});
    return static_cast<int>(setup.keys.size() - 1);
  };
  for (const std::string& file : config.envelopeKeyFiles) {
    if (addKey(file, true) < 0) return false;
  }
  for (const BankRelease& bank : config.banks) {
    int index = -1;
    if (!bank.envelopeKeyFile.empty()) {
      index = addKey(bank.envelopeKeyFile, false);
      if (index < 0) return false;
    }
    setup.bankKey.push_back(index);
    std::error_code ec;
    if (!fs::is_directory(bank.releaseDir, ec)) {
      error = "release folder of bank " + bank.bankIdText + " is not a folder: " + bank.releaseDir;
      return false;
    }
  }
  bool anyTls = false;
  for (const ListenerConfig& l : config.listeners) anyTls = anyTls || l.tls;
  if (anyTls) {
    if (!ReadFile(config.certificateFile, setup.certificatePem) ||
        setup.certificatePem.empty()) {
      error = "cannot read the certificate " + config.certificateFile;
      return false;
    }
    if (!ReadFile(config.privateKeyFile, setup.privateKeyPem) || setup.privateKeyPem.empty()) {
      error = "cannot read the certificate's private key " + config.privateKeyFile;
      return false;
    }
    gnutls_certificate_credentials_t cred = nullptr;
    gnutls_certificate_allocate_credentials(&cred);
    gnutls_datum_t certData{reinterpret_cast<unsigned char*>(setup.certificatePem.data()),
                            static_cast<unsigned>(setup.certificatePem.size())};
    gnutls_datum_t keyData{reinterpret_cast<unsigned char*>(setup.privateKeyPem.data()),
                           static_cast<unsigned>(setup.privateKeyPem.size())};
    int rc = gnutls_certificate_set_x509_key_mem(cred, &certData, &keyData, GNUTLS_X509_FMT_PEM);
    gnutls_certificate_free_credentials(cred);
    if (rc < 0) {
      error = "cannot use certificate " + config.certificateFile + " with key " +
              config.privateKeyFile + ": " + gnutls_strerror(rc);
      return false;
    }
  }
  out = std::move(setup);
  return true;
}

// ---------------------------------------------------------------------------------------------

namespace {

// A file's body over TLS. The library reads a file-backed body in 4 KiB blocks and sends each
// block as a TLS record of its own; a client whose TLS layer pays per record (WinINet under
// Wine: a round trip to its server per record) then takes twice as long over a large file as
// it does from nginx. Read here in blocks of a full record instead. Plain connections keep the
// library's file responses, which go out with sendfile.
constexpr size_t kTlsFileBlock = 16 * 1024;  // the largest TLS record

struct TlsFileBody {
  int fd = -1;
  uint64_t first = 0;  // the body's first byte in the file
};

ssize_t ReadTlsFileBody(void* cls, uint64_t pos, char* buffer, size_t max) {
  const auto* body = static_cast<const TlsFileBody*>(cls);
  for (;;) {
    const ssize_t n = pread(body->fd, buffer, max, static_cast<off_t>(body->first + pos));
    if (n > 0) return n;
    if (n < 0 && errno == EINTR) continue;
    return MHD_CONTENT_READER_END_WITH_ERROR;  // unreadable, or shorter than when it was opened
  }
}

void FreeTlsFileBody(void* cls) {
  auto* body = static_cast<TlsFileBody*>(cls);
  close(body->fd);
  delete body;
}

// One client connection, from its acceptance to its close.
struct Connection {
  MHD_Connection* mhd = nullptr;
  std::string address;  // numeric, IPv6 in brackets
  std::string canonical;  // numeric, for the per-address count and the proxy check
  int port = 0;
  int fd = -1;
  bool tls = false;
  bool counted = false;  // in the per-address count
  Clock::time_point opened;
  // Guarded by Impl::connectionsMutex:
  bool waitingForHeaders = true;
  Clock::time_point headerDeadline;
  bool cutByDeadline = false;
  int requests = 0;  // request lines read
};

// One request, from its request line to its answer.
struct Request {
  Connection* connection = nullptr;
  Clock::time_point start;
  std::string method;
  std::string target;  // as sent
  bool headersIn = false;
  bool handled = false;
  bool head = false;
  unsigned long long bodyBytes = 0;
  RequestLogRecord record;
  std::shared_ptr<const ServerSetup> setup;
};

// The last message the HTTP library reported on this thread (a TLS or parsing failure), so
// that the connection that caused it can be logged with it.
struct LibraryMessage {
  std::string text;
  Clock::time_point when;
};
thread_local LibraryMessage tlLastMessage;

// The library hands over a printf format and its arguments.
__attribute__((format(printf, 2, 0))) void LibraryLogger(void*, const char* format, va_list args) {
  char text[512];
  std::vsnprintf(text, sizeof text, format, args);
  std::string message = text;
  // "Error processing request (HTTP response code is 400 ('<html>...')). Closing connection"
  size_t detail = message.find(" (HTTP response code");
  if (detail != std::string::npos) message.erase(detail);
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                              message.back() == '.' || message.back() == ' ')) {
    message.pop_back();
  }
  tlLastMessage = LibraryMessage{message, Clock::now()};
}

std::string RecentLibraryMessage() {
  if (tlLastMessage.text.empty() || Clock::now() - tlLastMessage.when > std::chrono::seconds(1)) {
    return std::string();
  }
  std::string text = std::move(tlLastMessage.text);
  tlLastMessage = LibraryMessage{};
  return text;
}

}  // namespace

struct UpdateServer::Impl {
  std::FILE* log = nullptr;
  std::mutex setupMutex;
  std::shared_ptr<const ServerSetup> setup;
  // Fixed at start:
  std::string certificatePem, privateKeyPem;
  int headerTimeout = 10;
  int maxPerClient = 256;
  std::set<std::string> startProxies;

  struct Listener {
    MHD_Daemon* daemon = nullptr;
    int fd = -1;
    bool tls = false;
    bool quiesced = false;
    Impl* impl = nullptr;
  };
  std::vector<std::unique_ptr<Listener>> listeners;

  std::mutex connectionsMutex;
  std::set<Connection*> connections;
  std::map<std::string, int> perAddress;
  std::atomic<int> activeRequests{0};

  std::thread watchdog;
  std::mutex stopMutex;
  std::condition_variable stopCv;
  bool stopping = false;

  std::shared_ptr<const ServerSetup> CurrentSetup() {
    std::lock_guard<std::mutex> lock(setupMutex);
    return setup;
  }

  // The log is written by a thread of its own: a request thread only appends its line, so a
  // write that blocks (a slow disk, a full pipe, page cache write-back) holds up no request.
  // Lines go out in order, as soon as the writer is free, a batch at a time; past
  // kMaxPendingLog bytes not yet written, request threads wait for the writer.
  static constexpr size_t kMaxPendingLog = 4 << 20;
  std::mutex logMutex;
  std::condition_variable logCv;      // lines pending, or the writer is to end
  std::condition_variable logDoneCv;  // a batch was written
  std::string pendingLog;
  bool logWriting = false;
  bool logEnd = false;
  std::thread logThread;

  void WriteLog(const RequestLogRecord& record, bool json) {
    std::string line = FormatLogRecord(record, json);
    line += '\n';
    std::unique_lock<std::mutex> lock(logMutex);
    logDoneCv.wait(lock, [&] { return pendingLog.size() < kMaxPendingLog || logEnd; });
    if (logEnd) {  // the writer has gone (the server stopped): write it here
      std::lock_guard<std::mutex> file(gLogMutex);
      std::fputs(line.c_str(), log);
      std::fflush(log);
      return;
    }
    const bool wake = pendingLog.empty();
    pendingLog += line;
    if (wake) logCv.notify_one();
  }

  void WriteLogLines() {
    std::string batch;
    std::unique_lock<std::mutex> lock(logMutex);
    for (;;) {
      logCv.wait(lock, [&] { return !pendingLog.empty() || logEnd; });
      if (pendingLog.empty()) return;  // ended, all written
      batch.clear();
      batch.swap(pendingLog);
      logWriting = true;
      lock.unlock();
      {
        std::lock_guard<std::mutex> file(gLogMutex);
        std::fwrite(batch.data(), 1, batch.size(), log);
        std::fflush(log);
      }
      lock.lock();
      logWriting = false;
      logDoneCv.notify_all();
    }
  }

  // Waits until every line logged so far is written.
  void FlushLog() {
    std::unique_lock<std::mutex> lock(logMutex);
    logDoneCv.wait(lock, [&] { return (pendingLog.empty() && !logWriting) || logEnd; });
  }

  void EndLog() {
    {
      std::lock_guard<std::mutex> lock(logMutex);
      if (logEnd) return;
      logEnd = true;
    }
    logCv.notify_all();
    if (logThread.joinable()) logThread.join();
    logDoneCv.notify_all();
  }

  ~Impl() { EndLog(); }

  bool IsTrustedProxy(const ServerSetup& s, const std::string& canonical) const {
    for (const std::string& p : s.config.trustedProxies) {
      if (CanonicalAddress(p) == canonical) return true;
    }
    return false;
  }

  // Closes connections whose request headers did not come in time.
  void WatchDeadlines() {
    std::unique_lock<std::mutex> stopLock(stopMutex);
    while (!stopping) {
      stopCv.wait_for(stopLock, std::chrono::milliseconds(250));
      auto now = Clock::now();
      std::lock_guard<std::mutex> lock(connectionsMutex);
      for (Connection* c : connections) {
        if (c->waitingForHeaders && !c->cutByDeadline && now > c->headerDeadline) {
          c->cutByDeadline = true;
          shutdown(c->fd, SHUT_RDWR);  // the library sees the end and closes the connection
        }
      }
    }
  }

  // --- callbacks of the HTTP library ---

  static MHD_Result AcceptPolicy(void* cls, const sockaddr* addr, socklen_t) {
    auto* listener = static_cast<Listener*>(cls);
    Impl* impl = listener->impl;
    std::string canonical = CanonicalAddress(AddressText(addr, false, nullptr));
    if (impl->startProxies.count(canonical) != 0) return MHD_YES;
    std::lock_guard<std::mutex> lock(impl->connectionsMutex);
    auto it = impl->perAddress.find(canonical);
    if (it != impl->perAddress.end() && it->second >= impl->maxPerClient) {
      RequestLogRecord r;
      r.time = UtcNow();
      int port = -1;
      r.client = AddressText(addr, true, &port);
      r.port = port;
      r.outcome = "refused";
      r.reason = StrPrintf("this address already holds %d connections", impl->maxPerClient);
      auto s = impl->CurrentSetup();
      impl->WriteLog(r, s->config.jsonLog);
      return MHD_NO;
    }
    return MHD_YES;
  }

  static void NotifyConnection(void* cls, MHD_Connection* mhd, void** socketContext,
                               MHD_ConnectionNotificationCode code) {
    auto* listener = static_cast<Listener*>(cls);
    Impl* impl = listener->impl;
    if (code == MHD_CONNECTION_NOTIFY_STARTED) {
      auto* c = new Connection();
      c->mhd = mhd;
      c->tls = listener->tls;
      c->opened = Clock::now();
      c->headerDeadline = c->opened + std::chrono::seconds(impl->headerTimeout);
      const MHD_ConnectionInfo* info =
          MHD_get_connection_info(mhd, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
      const sockaddr* sa = info ? info->client_addr : nullptr;
      c->address = AddressText(sa, true, &c->port);
      c->canonical = CanonicalAddress(c->address);
      info = MHD_get_connection_info(mhd, MHD_CONNECTION_INFO_CONNECTION_FD);
      c->fd = info ? info->connect_fd : -1;
      if (c->fd >= 0) {
        int yes = 1;
        setsockopt(c->fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
      }
      std::lock_guard<std::mutex> lock(impl->connectionsMutex);
      impl->connections.insert(c);
      if (impl->startProxies.count(c->canonical) == 0) {
        ++impl->perAddress[c->canonical];
        c->counted = true;
      }
      *socketContext = c;
      return;
    }
    auto* c = static_cast<Connection*>(*socketContext);
    if (c == nullptr) return;
    *socketContext = nullptr;
    bool cut = false;
    int requests = 0;
    {
      std::lock_guard<std::mutex> lock(impl->connectionsMutex);
      impl->connections.erase(c);
      if (c->counted) {
        auto it = impl->perAddress.find(c->canonical);
        if (it != impl->perAddress.end() && --it->second <= 0) impl->perAddress.erase(it);
      }
      cut = c->cutByDeadline;
      requests = c->requests;
    }
    // A connection that never brought a request (TLS handshake not finished, headers too slow,
    // or nothing at all) gets a line of its own.
    std::string libraryMessage = RecentLibraryMessage();
    if (requests == 0 || cut) {
      RequestLogRecord r;
      r.time = UtcNow();
      r.client = c->address;
      r.port = c->port;
      r.milliseconds =
          std::chrono::duration<double, std::milli>(Clock::now() - c->opened).count();
      bool handshakeDone = !c->tls || requests > 0;
      if (!handshakeDone) {
        const MHD_ConnectionInfo* info =
            MHD_get_connection_info(mhd, MHD_CONNECTION_INFO_GNUTLS_SESSION);
        if (info != nullptr && info->tls_session != nullptr) {
          auto session = static_cast<gnutls_session_t>(info->tls_session);
          handshakeDone = gnutls_handshake_get_last_in(session) == GNUTLS_HANDSHAKE_FINISHED;
        }
      }
      if (!handshakeDone) {
        r.outcome = "tls-failed";
        r.reason = cut ? StrPrintf("TLS handshake not finished within %d s", impl->headerTimeout)
                       : !libraryMessage.empty()
                             ? "TLS handshake failed: " + libraryMessage
                             : std::string("connection closed during the TLS handshake");
      } else if (cut) {
        r.outcome = "timeout";
        r.reason = StrPrintf("request headers not complete within %d s", impl->headerTimeout);
      } else if (!libraryMessage.empty()) {
        r.outcome = "bad-request";
        r.reason = libraryMessage;
      } else {
        r.outcome = "no-request";
        r.reason = "connection closed without a request";
      }
      auto s = impl->CurrentSetup();
      impl->WriteLog(r, s->config.jsonLog);
    }
    delete c;
  }

  static void* UriLog(void* cls, const char* uri, MHD_Connection* mhd) {
    auto* listener = static_cast<Listener*>(cls);
    Impl* impl = listener->impl;
    auto* request = new Request();
    request->start = Clock::now();
    request->target = uri != nullptr ? uri : "";
    request->setup = impl->CurrentSetup();
    const MHD_ConnectionInfo* info =
        MHD_get_connection_info(mhd, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
    auto* c = info ? static_cast<Connection*>(info->socket_context) : nullptr;
    request->connection = c;
    if (c != nullptr) {
      std::lock_guard<std::mutex> lock(impl->connectionsMutex);
      ++c->requests;
      request->record.client = c->address;
      request->record.port = c->port;
    }
    ++impl->activeRequests;
    return request;
  }

  static void Completed(void* cls, MHD_Connection* mhd, void** requestContext,
                        MHD_RequestTerminationCode toe) {
    auto* listener = static_cast<Listener*>(cls);
    Impl* impl = listener->impl;
    auto* request = static_cast<Request*>(*requestContext);
    if (request == nullptr) return;
    *requestContext = nullptr;
    RequestLogRecord& r = request->record;
    r.time = UtcNow();
    r.milliseconds =
        std::chrono::duration<double, std::milli>(Clock::now() - request->start).count();
    if (r.method.empty()) {
      r.method = request->method;
      r.target = request->target;
    }
    if (!request->handled) {
      // The library refused the request itself (malformed header, too large, ...).
      const MHD_ConnectionInfo* info = MHD_get_connection_info(mhd, MHD_CONNECTION_INFO_HTTP_STATUS);
      r.status = info != nullptr ? static_cast<int>(info->http_status) : 0;
      r.outcome = "bad-request";
      std::string message = RecentLibraryMessage();
      r.reason = !message.empty() ? message : std::string("the request cannot be read");
    }
    if (toe == MHD_REQUEST_TERMINATED_COMPLETED_OK) {
      r.bytes = request->head ? 0 : request->bodyBytes;
    } else {
      r.bytes = 0;
      if (request->handled && r.reason.empty()) {
        r.reason = toe == MHD_REQUEST_TERMINATED_TIMEOUT_REACHED ? "the client stopped reading"
                   : toe == MHD_REQUEST_TERMINATED_DAEMON_SHUTDOWN
                       ? "the server stopped"
                       : "the connection ended before the whole answer was sent";
      }
    }
    impl->WriteLog(r, request->setup->config.jsonLog);
    if (request->connection != nullptr) {
      std::lock_guard<std::mutex> lock(impl->connectionsMutex);
      request->connection->waitingForHeaders = true;
      request->connection->headerDeadline =
          Clock::now() + std::chrono::seconds(impl->headerTimeout);
    }
    --impl->activeRequests;
    delete request;
  }

  static MHD_Result Access(void* cls, MHD_Connection* mhd, const char*, const char* method,
                           const char*, const char*, size_t* uploadSize, void** requestContext) {
    auto* listener = static_cast<Listener*>(cls);
    auto* request = static_cast<Request*>(*requestContext);
    if (request == nullptr) return MHD_NO;
    if (!request->headersIn) {
      // The first call brings the headers; the answer goes with the last (no body left), so
      // that the connection stays open for the next request.
      request->headersIn = true;
      request->method = method != nullptr ? method : "";
      if (request->connection != nullptr) {
        std::lock_guard<std::mutex> lock(listener->impl->connectionsMutex);
        request->connection->waitingForHeaders = false;
      }
      return MHD_YES;
    }
    if (*uploadSize != 0) {
      *uploadSize = 0;  // a body nothing here reads
      return MHD_YES;
    }
    if (request->handled) return MHD_YES;
    request->handled = true;
    return listener->impl->Handle(*listener, mhd, *request) ? MHD_YES : MHD_NO;
  }

  // --- request handling ---

  bool Queue(MHD_Connection* mhd, Request& request, int status, MHD_Response* response) {
    request.record.status = status;
    bool ok = MHD_queue_response(mhd, static_cast<unsigned>(status), response) == MHD_YES;
    MHD_destroy_response(response);
    return ok;
  }

  bool SendText(MHD_Connection* mhd, Request& request, int status, const std::string& body,
                const char* contentType) {
    MHD_Response* response = MHD_create_response_from_buffer(
        body.size(), const_cast<char*>(body.data()), MHD_RESPMEM_MUST_COPY);
    if (response == nullptr) return false;
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, contentType);
    request.bodyBytes = body.size();
    return Queue(mhd, request, status, response);
  }

  bool SendError(MHD_Connection* mhd, Request& request, int status, const char* outcome,
                 const std::string& reason) {
    request.record.outcome = outcome;
    request.record.reason = reason;
    return SendText(mhd, request, status, reason + "\n", "text/plain; charset=utf-8");
  }

  static std::string Header(MHD_Connection* mhd, const char* name) {
    const char* v = MHD_lookup_connection_value(mhd, MHD_HEADER_KIND, name);
    return v != nullptr ? v : "";
  }

  bool Handle(Listener& listener, MHD_Connection* mhd, Request& request) {
    const ServerSetup& s = *request.setup;
    const UpdateServerConfig& config = s.config;
    RequestLogRecord& r = request.record;
    r.method = request.method;
    r.target = request.target;
    request.head = request.method == "HEAD";

    // Behind a trusted proxy (plain HTTP only): the client is the last address the proxy
    // appended that is not itself a trusted proxy, and the scheme is the proxy's.
    std::string scheme = listener.tls ? "https" : "http";
    Connection* c = request.connection;
    if (!listener.tls && c != nullptr && IsTrustedProxy(s, c->canonical)) {
      std::string forwarded = Header(mhd, "X-Forwarded-For");
      std::vector<std::string> hops;
      std::stringstream list(forwarded);
      std::string hop;
      while (std::getline(list, hop, ',')) hops.push_back(hop);
      for (auto it = hops.rbegin(); it != hops.rend(); ++it) {
        std::string canonical = CanonicalAddress(*it);
        if (canonical.empty()) break;
        r.client = canonical.find(':') != std::string::npos ? "[" + canonical + "]" : canonical;
        r.port = -1;
        r.via = c->address + StrPrintf(":%d", c->port);
        if (!IsTrustedProxy(s, canonical)) break;
      }
      std::string proto = ToLowerAscii(Header(mhd, "X-Forwarded-Proto"));
      if (proto == "https" || proto == "http") scheme = proto;
    }

    if (request.method != "GET" && request.method != "HEAD") {
      MHD_Response* response = MHD_create_response_from_buffer(
          std::strlen("method not allowed\n"), const_cast<char*>("method not allowed\n"),
          MHD_RESPMEM_PERSISTENT);
      MHD_add_response_header(response, "Allow", "GET, HEAD");
      MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE,
                              "text/plain; charset=utf-8");
      r.outcome = "refused";
      r.reason = "method not allowed";
      request.bodyBytes = std::strlen("method not allowed\n");
      return Queue(mhd, request, 405, response);
    }
    const std::string& target = request.target;
    if (target.compare(0, config.requestPath.size(), config.requestPath) == 0) {
      r.target = config.requestPath +
                 StrPrintf("[envelope:%zu]", target.size() - config.requestPath.size());
      return AnswerVersionQuery(mhd, request, target.substr(config.requestPath.size()), scheme,
                                listener);
    }
    std::string rawPath = target.substr(0, target.find('?'));
    if (rawPath == config.requestPath.substr(0, config.requestPath.find('?'))) {
      return SendError(mhd, request, 400, "bad-request", "malformed version query");
    }
    if (rawPath == "/healthz") {
      r.outcome = "health";
      return SendText(mhd, request, 200, "ok\n", "text/plain; charset=utf-8");
    }
    return ServeFile(mhd, request, rawPath);
  }

  bool AnswerVersionQuery(MHD_Connection* mhd, Request& request, const std::string& envelope,
                          const std::string& scheme, Listener& listener) {
    const ServerSetup& s = *request.setup;
    RequestLogRecord& r = request.record;
    std::string plaintext;
    int keyIndex = -1;
    if (!envelope.empty()) {
      for (size_t i = 0; i < s.keys.size() && keyIndex < 0; ++i) {
        if (s.keys[i].key->OpenToText(envelope, plaintext)) keyIndex = static_cast<int>(i);
      }
    }
    if (keyIndex < 0) {
      return SendError(mhd, request, 400, "bad-request",
                       envelope.empty() ? "no envelope in the query"
                                        : "the query cannot be opened with any envelope key");
    }
    uint32_t bankId = 0;
    int bankIndex = -1;
    if (ParseBankIdText(plaintext, bankId)) {
      for (size_t i = 0; i < s.config.banks.size(); ++i) {
        if (s.config.banks[i].bankId == bankId) bankIndex = static_cast<int>(i);
      }
    } else {
      return SendError(mhd, request, 404, "unknown-bank", "the query holds no bank id");
    }
    r.bank = StrPrintf("%x", bankId);
    if (bankIndex < 0) return SendError(mhd, request, 404, "unknown-bank", "unknown bank");
    const BankRelease& bank = s.config.banks[static_cast<size_t>(bankIndex)];
    const int own = s.bankKey[static_cast<size_t>(bankIndex)];
    if (own >= 0 ? own != keyIndex : !s.keys[static_cast<size_t>(keyIndex)].shared) {
      return SendError(mhd, request, 404, "unknown-bank",
                       "the query was sealed with another bank's envelope key");
    }
    std::string url = bank.url;
    if (url.empty()) {
      std::string host = Header(mhd, "Host");
      if (!PlainHost(host)) {
        host = LocalAddress(mhd, listener);
      }
      url = scheme + "://" + host + bank.prefix;
    }
    Json::Value reply(Json::objectValue);
    reply["v"] = bank.version;
    reply["url"] = url;
    reply["update"] = bank.update;
    Json::StreamWriterBuilder writer;
    writer["indentation"] = "";
    std::string sealed;
    if (!s.keys[static_cast<size_t>(keyIndex)].key->SealText(Json::writeString(writer, reply),
                                                            sealed)) {
      return SendError(mhd, request, 500, "error", "the reply cannot be sealed");
    }
    r.outcome = "version";
    return SendText(mhd, request, 200, sealed, "text/plain");
  }

  static std::string LocalAddress(MHD_Connection* mhd, Listener&) {
    const MHD_ConnectionInfo* info =
        MHD_get_connection_info(mhd, MHD_CONNECTION_INFO_CONNECTION_FD);
    sockaddr_storage local{};
    socklen_t length = sizeof local;
    if (info == nullptr || getsockname(info->connect_fd, reinterpret_cast<sockaddr*>(&local),
                                       &length) != 0) {
      return "localhost";
    }
    int port = 0;
    std::string address = AddressText(reinterpret_cast<sockaddr*>(&local), true, &port);
    return address + StrPrintf(":%d", port);
  }

  bool ServeFile(MHD_Connection* mhd, Request& request, const std::string& rawPath) {
    const ServerSetup& s = *request.setup;
    RequestLogRecord& r = request.record;
    std::string path;
    if (!PercentDecodePath(rawPath, path)) {
      return SendError(mhd, request, 400, "bad-request", "malformed path");
    }
    // The release with the longest prefix that the path starts with, on a segment boundary.
    const BankRelease* bank = nullptr;
    for (const BankRelease& b : s.config.banks) {
      bool match = path.compare(0, b.prefix.size(), b.prefix) == 0 &&
                   (path.size() == b.prefix.size() || path[b.prefix.size()] == '/' ||
                    path[b.prefix.size()] == '\\');
      if (match && (bank == nullptr || b.prefix.size() > bank->prefix.size())) bank = &b;
    }
    if (bank == nullptr) return SendError(mhd, request, 404, "not-found", "not found");
    r.bank = bank->bankIdText;
    fs::path file;
    switch (ResolveReleaseFile(bank->releaseDir,
                               std::string_view(path).substr(bank->prefix.size()), file)) {
      case ReleasePathResult::kForbidden:
        return SendError(mhd, request, 403, "forbidden", "forbidden");
      case ReleasePathResult::kNotFound:
        return SendError(mhd, request, 404, "not-found", "not found");
      case ReleasePathResult::kFound:
        break;
    }
    int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return SendError(mhd, request, 404, "not-found", "not found");
    struct stat st{};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
      close(fd);
      return SendError(mhd, request, 404, "not-found", "not found");
    }
    const uint64_t size = static_cast<uint64_t>(st.st_size);
    ByteRangeAnswer range;
    std::string rangeHeader = Header(mhd, "Range");
    // Without validators of ours to compare, an If-Range never matches: the whole file.
    if (!rangeHeader.empty() && Header(mhd, "If-Range").empty()) {
      range = AnswerByteRange(rangeHeader, size);
    }
    r.outcome = "file";
    if (range.kind == ByteRangeAnswer::kUnsatisfiable) {
      close(fd);
      static const char kBody[] = "range not satisfiable\n";
      MHD_Response* response = MHD_create_response_from_buffer(
          sizeof kBody - 1, const_cast<char*>(kBody), MHD_RESPMEM_PERSISTENT);
      MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_RANGE,
                              StrPrintf("bytes */%llu", static_cast<unsigned long long>(size))
                                  .c_str());
      MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE,
                              "text/plain; charset=utf-8");
      r.reason = "range not satisfiable: " + rangeHeader.substr(0, 64);
      request.bodyBytes = sizeof kBody - 1;
      return Queue(mhd, request, 416, response);
    }
    uint64_t first = 0, length = size;
    int status = 200;
    if (range.kind == ByteRangeAnswer::kPart) {
      first = range.first;
      length = range.length;
      status = 206;
    }
    MHD_Response* response;
    if (length == 0) {
      close(fd);
      response = MHD_create_response_from_buffer(0, const_cast<char*>(""),
                                                 MHD_RESPMEM_PERSISTENT);
    } else if (request.connection != nullptr && request.connection->tls) {
      auto* body = new TlsFileBody{fd, first};
      response = MHD_create_response_from_callback(length, kTlsFileBlock, &ReadTlsFileBody, body,
                                                   &FreeTlsFileBody);
      if (response == nullptr) FreeTlsFileBody(body);
    } else {
      // Streamed from the file with sendfile; the library closes fd.
      response = MHD_create_response_from_fd_at_offset64(length, fd, first);
      if (response == nullptr) close(fd);
    }
    if (response == nullptr) return SendError(mhd, request, 500, "error", "cannot send the file");
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, ContentTypeFor(file));
    MHD_add_response_header(response, MHD_HTTP_HEADER_ACCEPT_RANGES, "bytes");
    if (status == 206) {
      MHD_add_response_header(
          response, MHD_HTTP_HEADER_CONTENT_RANGE,
          StrPrintf("bytes %llu-%llu/%llu", static_cast<unsigned long long>(first),
                    static_cast<unsigned long long>(first + length - 1),
                    static_cast<unsigned long long>(size))
              .c_str());
    }
    request.bodyBytes = length;
    return Queue(mhd, request, status, response);
  }
};

UpdateServer::UpdateServer(std::shared_ptr<const ServerSetup> setup, std::FILE* log)
    : impl_(std::make_unique<Impl>()) {
  impl_->log = log;
  impl_->setup = std::move(setup);
  impl_->logThread = std::thread([impl = impl_.get()] { impl->WriteLogLines(); });
}

UpdateServer::~UpdateServer() { Stop(); }

void UpdateServer::Reload(std::shared_ptr<const ServerSetup> setup) {
  std::lock_guard<std::mutex> lock(impl_->setupMutex);
  impl_->setup = std::move(setup);
}

namespace {

// Binds one listening socket per address of `host`; all on the same port (the first one's
// when port is 0).
bool BindListener(const ListenerConfig& lc, std::vector<std::pair<int, BoundListener>>& out,
                  std::string& error) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  addrinfo* found = nullptr;
  int port = lc.port;
  int rc = getaddrinfo(lc.address.c_str(), std::to_string(port).c_str(), &hints, &found);
  if (rc != 0 || found == nullptr) {
    error = "cannot resolve the listener address " + lc.address + ": " + gai_strerror(rc);
    return false;
  }
  std::set<std::string> seen;
  bool any = false;
  for (addrinfo* a = found; a != nullptr; a = a->ai_next) {
    std::string text = AddressText(a->ai_addr, true, nullptr);
    if (!seen.insert(text).second) continue;
    if (a->ai_family == AF_INET) {
      reinterpret_cast<sockaddr_in*>(a->ai_addr)->sin_port = htons(static_cast<uint16_t>(port));
    } else if (a->ai_family == AF_INET6) {
      reinterpret_cast<sockaddr_in6*>(a->ai_addr)->sin6_port =
          htons(static_cast<uint16_t>(port));
    }
    int fd = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
    if (fd < 0) continue;
    int yes = 1;
    // Only SO_REUSEADDR: SO_REUSEPORT would let a second server start on a port already in
    // use and silently share its connections.
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
    if (a->ai_family == AF_INET6) setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &yes, sizeof yes);
    if (bind(fd, a->ai_addr, a->ai_addrlen) != 0 || listen(fd, 1024) != 0) {
      error = StrPrintf("cannot listen on %s:%d: %s", text.c_str(), port, std::strerror(errno));
      close(fd);
      for (auto& l : out) close(l.first);
      out.clear();
      freeaddrinfo(found);
      return false;
    }
    sockaddr_storage bound{};
    socklen_t length = sizeof bound;
    getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length);
    int boundPort = 0;
    AddressText(reinterpret_cast<sockaddr*>(&bound), true, &boundPort);
    if (port == 0) port = boundPort;
    out.emplace_back(fd, BoundListener{text, boundPort, lc.tls});
    any = true;
  }
  freeaddrinfo(found);
  if (!any) {
    error = "cannot listen on " + lc.address;
    return false;
  }
  return true;
}

}  // namespace

bool UpdateServer::Start(std::string& error) {
  Impl& impl = *impl_;
  std::shared_ptr<const ServerSetup> setup = impl.CurrentSetup();
  const UpdateServerConfig& config = setup->config;
  impl.certificatePem = setup->certificatePem;
  impl.privateKeyPem = setup->privateKeyPem;
  impl.headerTimeout = config.headerTimeoutSeconds;
  impl.maxPerClient = config.maxConnectionsPerClient;
  for (const std::string& p : config.trustedProxies) impl.startProxies.insert(CanonicalAddress(p));
  unsigned threads = config.threads > 0 ? static_cast<unsigned>(config.threads)
                                        : std::max(1u, std::thread::hardware_concurrency());
  for (const ListenerConfig& lc : config.listeners) {
    std::vector<std::pair<int, BoundListener>> sockets;
    if (!BindListener(lc, sockets, error)) {
      Stop();
      return false;
    }
    for (auto& [fd, bound] : sockets) {
      auto listener = std::make_unique<Impl::Listener>();
      listener->fd = fd;
      listener->tls = lc.tls;
      listener->impl = &impl;
      Impl::Listener* l = listener.get();
      unsigned flags = MHD_USE_EPOLL_INTERNAL_THREAD | MHD_USE_ERROR_LOG | MHD_USE_ITC;
      if (lc.tls) flags |= MHD_USE_TLS;
      MHD_OptionItem options[] = {
          {MHD_OPTION_LISTEN_SOCKET, fd, nullptr},
          {MHD_OPTION_THREAD_POOL_SIZE, static_cast<intptr_t>(threads), nullptr},
          {MHD_OPTION_CONNECTION_TIMEOUT, config.idleTimeoutSeconds, nullptr},
          {MHD_OPTION_CONNECTION_LIMIT, config.maxConnections, nullptr},
          {MHD_OPTION_NOTIFY_CONNECTION, reinterpret_cast<intptr_t>(&Impl::NotifyConnection), l},
          {MHD_OPTION_NOTIFY_COMPLETED, reinterpret_cast<intptr_t>(&Impl::Completed), l},
          {MHD_OPTION_URI_LOG_CALLBACK, reinterpret_cast<intptr_t>(&Impl::UriLog), l},
          {MHD_OPTION_EXTERNAL_LOGGER, reinterpret_cast<intptr_t>(&LibraryLogger), nullptr},
          {MHD_OPTION_SIGPIPE_HANDLED_BY_APP, 1, nullptr},
          {lc.tls ? MHD_OPTION_HTTPS_MEM_KEY : MHD_OPTION_END, 0,
           const_cast<char*>(impl.privateKeyPem.c_str())},
          {MHD_OPTION_HTTPS_MEM_CERT, 0, const_cast<char*>(impl.certificatePem.c_str())},
          {MHD_OPTION_END, 0, nullptr},
      };
      // One thread: the listener's own polling thread, no pool.
      if (threads <= 1) options[1] = {MHD_OPTION_CONNECTION_TIMEOUT, config.idleTimeoutSeconds, nullptr};
      l->daemon = MHD_start_daemon(flags, 0, &Impl::AcceptPolicy, l, &Impl::Access, l,
                                   MHD_OPTION_ARRAY, options, MHD_OPTION_END);
      impl.listeners.push_back(std::move(listener));
      if (l->daemon == nullptr) {
        error = lc.tls ? "cannot use certificate " + config.certificateFile + " with key " +
                             config.privateKeyFile + " on " + bound.address
                       : "cannot serve on " + bound.address;
        Stop();
        return false;
      }
      bound_.push_back(bound);
    }
  }
  impl.watchdog = std::thread([&impl] { impl.WatchDeadlines(); });
  return true;
}

void UpdateServer::Drain() {
  Impl& impl = *impl_;
  // No new connections; requests under way get a few seconds to end.
  for (auto& l : impl.listeners) {
    if (l->daemon == nullptr || l->quiesced) continue;
    l->quiesced = true;
    if (l->daemon != nullptr) {
      MHD_socket fd = MHD_quiesce_daemon(l->daemon);
      if (fd != MHD_INVALID_SOCKET) l->fd = fd;
    }
  }
  auto deadline = Clock::now() + std::chrono::seconds(5);
  while (impl.activeRequests.load() > 0 && Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

void UpdateServer::Stop() {
  Impl& impl = *impl_;
  Drain();
  for (auto& l : impl.listeners) {
    if (l->daemon != nullptr) MHD_stop_daemon(l->daemon);
    l->daemon = nullptr;
    if (l->fd >= 0) close(l->fd);
    l->fd = -1;
  }
  impl.listeners.clear();
  {
    std::lock_guard<std::mutex> lock(impl.stopMutex);
    impl.stopping = true;
  }
  impl.stopCv.notify_all();
  if (impl.watchdog.joinable()) impl.watchdog.join();
  impl.FlushLog();
}

}  // namespace corlinq
