// The HTTP port over WinINet. One internet session per agent and time-out set, and one
// connection handle per server under it, are opened once and kept for the life of the process, so
// that WinINet keeps its connections alive across the files of a run. Each GET opens its own
// request handle and closes it on every path.
//
// The blocking WinINet calls of an exchange run on a helper thread (an idle one kept from an
// earlier exchange, or a new one), which reads ahead a few chunks; the calling thread hands them
// to the sink and keeps the exchange within its TransferWatch. When a bound passes (or the
// downloads are abandoned) the caller ends the exchange at once and leaves the helper behind: it
// closes its request handle when its blocking call returns, and only then takes new work.
// WinINet's own time-outs do not cover everything (Wine's applies none while a TLS handshake
// waits for the server), and closing a handle from another thread does not end a blocking call
// under Wine, so the caller never waits on one.
#include <windows.h>
#include <wininet.h>

#include <chrono>
#include <condition_variable>
#include <cwchar>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <tuple>
#include <vector>

#include "base/win/scoped_handle.h"
#include "base/win/wide.h"
#include "protocol/platform_transport.h"
#include "protocol/transfer_watch.h"
#include "protocol/win/tls_pin_check_win.h"

namespace corlinq {
namespace {

struct InternetHandleTraits {
  using Handle = HINTERNET;
  static Handle Invalid() { return nullptr; }
  static bool IsValid(Handle h) { return h != nullptr; }
  static void Close(Handle h) { InternetCloseHandle(h); }
};
using ScopedInternet = win::UniqueHandle<InternetHandleTraits>;

constexpr DWORD kAccessPreconfig = 0;              // INTERNET_OPEN_TYPE_PRECONFIG
constexpr DWORD kAddIfNew = 0x10000000;            // HTTP_ADDREQ_FLAG_ADD_IF_NEW
constexpr DWORD kConnectionFlagsHttp = 0x00400000;   // keep connection
constexpr DWORD kConnectionFlagsHttps = 0x00C00000;  // keep connection, secure
constexpr DWORD kRequestFlagsHttp = 0x84000000;      // reload, no cache write
constexpr DWORD kRequestFlagsHttps = 0x84801000;     // + secure, ignore certificate name
constexpr DWORD kSecurityFlagsOption = 31;           // INTERNET_OPTION_SECURITY_FLAGS
constexpr DWORD kIgnoredCertificateProblems = 0x3380;
constexpr DWORD kConnectTimeoutOption = 2;
constexpr DWORD kDataSendTimeoutOption = 7;
constexpr DWORD kDataReceiveTimeoutOption = 8;
constexpr DWORD kSendTimeoutOption = 5;
constexpr DWORD kReceiveTimeoutOption = 6;

int LastErrorResult() { return GetLastError() == ERROR_INTERNET_TIMEOUT ? kNetTimedOut : kNetFailed; }

// The agent when the caller names none: the program's own name.
std::wstring ProgramName() {
  wchar_t path[MAX_PATH] = {};
  const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring name(path, length);
  const size_t slash = name.find_last_of(L"\\/");
  if (slash != std::wstring::npos) name.erase(0, slash + 1);
  const size_t dot = name.rfind(L'.');
  if (dot != std::wstring::npos) name.erase(dot);
  return name;
}

struct CrackedUrl {
  bool secure = false;
  std::wstring host;
  INTERNET_PORT port = 0;
  std::wstring object;  // path with query
};

bool CrackUrl(const std::wstring& url, CrackedUrl& out) {
  std::vector<wchar_t> host(url.size() + 1), path(url.size() + 1), extra(url.size() + 1);
  URL_COMPONENTSW parts = {};
  parts.dwStructSize = sizeof(parts);
  parts.lpszHostName = host.data();
  parts.dwHostNameLength = static_cast<DWORD>(host.size());
  parts.lpszUrlPath = path.data();
  parts.dwUrlPathLength = static_cast<DWORD>(path.size());
  parts.lpszExtraInfo = extra.data();
  parts.dwExtraInfoLength = static_cast<DWORD>(extra.size());
  if (!InternetCrackUrlW(url.c_str(), static_cast<DWORD>(url.size()), 0, &parts)) return false;
  if (parts.nScheme != INTERNET_SCHEME_HTTP && parts.nScheme != INTERNET_SCHEME_HTTPS) return false;
  if (parts.dwHostNameLength == 0) return false;
  out.secure = parts.nScheme == INTERNET_SCHEME_HTTPS;
  out.host.assign(host.data(), parts.dwHostNameLength);
  out.port = parts.nPort;
  out.object.assign(path.data(), parts.dwUrlPathLength);
  out.object.append(extra.data(), parts.dwExtraInfoLength);
  if (out.object.empty()) out.object = L"/";
  return true;
}

void SetTimeout(HINTERNET handle, DWORD option, uint32_t ms) {
  if (ms == 0) return;
  DWORD value = ms;
  InternetSetOptionW(handle, option, &value, sizeof(value));
}

// What the caller and the helper thread of one exchange share; guarded by mutex.
struct Exchange {
  static constexpr size_t kReadAhead = 4;  // chunks the helper may hold for the caller

  std::mutex mutex;
  std::condition_variable changed;
  // Helper to caller.
  bool headReady = false;
  HttpResponseHead head;
  std::deque<std::vector<char>> chunks;
  bool finished = false;  // no more chunks; result says how it ended
  int result = kNetOk;
  // Caller to helper.
  bool readBody = false;  // the sink wants the body
  bool stop = false;      // the caller left; the helper ends as soon as it can
};

// The helper threads. Starting a thread costs more than a whole kept-alive exchange with a
// nearby server under Wine, so a helper that finished its exchange waits a while for the next
// one. A helper the caller left behind is still busy with its call and takes no new exchange:
// each exchange goes to an idle helper or to a new one, never behind a call that may hang.
class HelperPool {
 public:
  static HelperPool& Instance() {
    // Never destroyed: helper threads may use it until the process ends.
    static HelperPool* const pool = new HelperPool;
    return *pool;
  }

  bool Run(std::function<void()> task) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (idle_ > tasks_.size()) {
      tasks_.push_back(std::move(task));
      changed_.notify_one();
      return true;
    }
    lock.unlock();
    // CreateThread rather than a detached std::thread: the MinGW thread library can lose the
    // start argument of a thread detached right after its creation.
    auto* first = new std::function<void()>(std::move(task));
    HANDLE thread = CreateThread(nullptr, 0, &HelperPool::Main, first, 0, nullptr);
    if (!thread) {
      delete first;
      return false;
    }
    CloseHandle(thread);
    return true;
  }

 private:
  static constexpr auto kIdleWait = std::chrono::seconds(10);

  static DWORD WINAPI Main(void* param) {
    std::unique_ptr<std::function<void()>> first(static_cast<std::function<void()>*>(param));
    (*first)();
    first.reset();
    HelperPool& pool = Instance();
    std::unique_lock<std::mutex> lock(pool.mutex_);
    for (;;) {
      ++pool.idle_;
      const bool got = pool.changed_.wait_for(lock, kIdleWait, [&] { return !pool.tasks_.empty(); });
      --pool.idle_;
      if (!got) return 0;
      std::function<void()> task = std::move(pool.tasks_.front());
      pool.tasks_.pop_front();
      lock.unlock();
      task();
      task = nullptr;  // the exchange's state goes before the helper waits again
      lock.lock();
    }
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::function<void()>> tasks_;
  size_t idle_ = 0;  // helpers waiting for a task
};

template <typename Fn>
bool StartHelper(Fn fn) {
  return HelperPool::Instance().Run(std::function<void()>(std::move(fn)));
}

class WinInetHttpPort final : public HttpPort {
 public:
  void PurgeUrlCache(const std::string& url) override {
    DeleteUrlCacheEntryW(win::Utf8ToWide(url).c_str());
  }

 protected:
  int DoGet(const HttpGetRequest& request, HttpResponseSink& sink) override {
    CrackedUrl url;
    if (!CrackUrl(win::Utf8ToWide(request.url), url)) return kNetFailed;
    if (!url.secure && !win::PlainHttpAllowed()) return kNetFailed;
    auto exchange = std::make_shared<Exchange>();
    if (!StartHelper([this, request, url, exchange] { Perform(request, url, *exchange); })) return kNetFailed;

    TransferWatch watch(request, TransferWatch::Clock::now());
    // When the helper's call failed after as long a silence as the receive time-out, WinINet's
    // own time-out ended it (Wine reports that as a dropped connection, 12030).
    auto lastActivity = TransferWatch::Clock::now();
    auto failed = [&](int result) {
      const auto silence = TransferWatch::Clock::now() - lastActivity;
      const auto limit = std::chrono::milliseconds(request.timeouts.receiveMs) - kPollPeriod * 5;
      if (result == kNetFailed && request.timeouts.receiveMs > 0 && silence >= limit) return kNetTimedOut;
      return result;
    };
    std::unique_lock<std::mutex> lock(exchange->mutex);
    // Leaves the helper to itself; the result for the caller.
    auto leave = [&](int result) {
      exchange->stop = true;
      exchange->changed.notify_all();
      return result;
    };
    auto bounded = [&](TransferWatch::Verdict verdict) {
      return leave(verdict == TransferWatch::Verdict::kAbandoned ? kNetFailed : kNetTimedOut);
    };
    while (!exchange->headReady && !exchange->finished) {
      exchange->changed.wait_for(lock, kPollPeriod);
      const TransferWatch::Verdict verdict = watch.Check(TransferWatch::Clock::now());
      if (verdict != TransferWatch::Verdict::kGoOn && !exchange->headReady && !exchange->finished) {
        return bounded(verdict);
      }
    }
    if (!exchange->headReady) return leave(failed(exchange->result));
    lastActivity = TransferWatch::Clock::now();
    watch.HeadReceived(lastActivity);
    const HttpResponseHead head = exchange->head;
    lock.unlock();
    const BodyAction onHead = sink.OnHead(head);
    lock.lock();
    if (onHead != BodyAction::kContinue) return leave(kNetFailed);
    exchange->readBody = true;
    exchange->changed.notify_all();
    for (;;) {
      if (exchange->chunks.empty()) {
        if (exchange->finished) return leave(failed(exchange->result));
        exchange->changed.wait_for(lock, kPollPeriod);
        if (exchange->chunks.empty() && !exchange->finished) {
          const TransferWatch::Verdict verdict = watch.Check(TransferWatch::Clock::now());
          if (verdict != TransferWatch::Verdict::kGoOn) return bounded(verdict);
        }
        continue;
      }
      std::vector<char> chunk = std::move(exchange->chunks.front());
      exchange->chunks.pop_front();
      exchange->changed.notify_all();
      lock.unlock();
      lastActivity = TransferWatch::Clock::now();
      watch.BodyReceived(chunk.size(), lastActivity);
      const TransferWatch::Verdict verdict = watch.Check(TransferWatch::Clock::now());
      const BodyAction onBody = verdict == TransferWatch::Verdict::kGoOn ? sink.OnBody(chunk.data(), chunk.size())
                                                                         : BodyAction::kContinue;
      lock.lock();
      if (verdict != TransferWatch::Verdict::kGoOn) return bounded(verdict);
      if (onBody != BodyAction::kContinue) return leave(kNetFailed);
    }
  }

 private:
  static constexpr std::chrono::milliseconds kPollPeriod{100};

  // The helper thread: the whole exchange over WinINet, its results into exchange.
  void Perform(const HttpGetRequest& request, const CrackedUrl& url, Exchange& exchange) {
    ScopedInternet http;
    // The request handle is closed before the caller hears the end, so that this helper is idle
    // again by the time the caller's next exchange looks for one.
    auto finish = [&exchange, &http](int result) {
      http.reset();
      const std::lock_guard<std::mutex> lock(exchange.mutex);
      exchange.result = result;
      exchange.finished = true;
      exchange.changed.notify_all();
    };
    HINTERNET connection = Connection(request, url);
    if (!connection) return finish(LastErrorResult());
    http.reset(HttpOpenRequestW(connection, L"GET", url.object.c_str(), nullptr, nullptr, nullptr,
                                url.secure ? kRequestFlagsHttps : kRequestFlagsHttp, 1));
    if (!http) return finish(LastErrorResult());

    // The data time-outs of the session do not reach every WinINet (Wine's ignores them); the
    // request's own send and receive time-outs make the limits hold there too.
    SetTimeout(http.get(), kConnectTimeoutOption, request.timeouts.connectMs);
    SetTimeout(http.get(), kSendTimeoutOption, request.timeouts.sendMs);
    SetTimeout(http.get(), kReceiveTimeoutOption, request.timeouts.receiveMs);

    DWORD security = 0;
    DWORD securitySize = sizeof(security);
    if (InternetQueryOptionW(http.get(), kSecurityFlagsOption, &security, &securitySize)) {
      security |= kIgnoredCertificateProblems;
      InternetSetOptionW(http.get(), kSecurityFlagsOption, &security, sizeof(security));
    }
    for (const std::string& header : request.headers) {
      const std::wstring wide = win::Utf8ToWide(header);
      HttpAddRequestHeadersW(http.get(), wide.c_str(), static_cast<DWORD>(-1), kAddIfNew);
    }
    if (!HttpSendRequestW(http.get(), nullptr, 0, nullptr, 0)) return finish(LastErrorResult());
    if (!win::ServerKeyAllowed(http.get(), url.secure)) return finish(kNetFailed);

    HttpResponseHead head;
    DWORD status = 0;
    DWORD statusSize = sizeof(status);
    if (!HttpQueryInfoW(http.get(), HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &statusSize,
                        nullptr)) {
      return finish(LastErrorResult());
    }
    head.status = static_cast<int>(status);
    wchar_t lengthText[32] = {};
    DWORD lengthSize = sizeof(lengthText) - sizeof(wchar_t);
    if (HttpQueryInfoW(http.get(), HTTP_QUERY_CONTENT_LENGTH, lengthText, &lengthSize, nullptr)) {
      wchar_t* end = nullptr;
      const unsigned long long value = std::wcstoull(lengthText, &end, 10);
      if (end != lengthText && *end == L'\0') head.contentLength = value;
    }
    {
      std::unique_lock<std::mutex> lock(exchange.mutex);
      exchange.head = head;
      exchange.headReady = true;
      exchange.changed.notify_all();
      exchange.changed.wait(lock, [&] { return exchange.readBody || exchange.stop; });
      if (exchange.stop) return;
    }
    const size_t chunkSize = request.chunkSize ? request.chunkSize : 1;
    for (;;) {
      std::vector<char> buffer(chunkSize);
      DWORD read = 0;
      if (!InternetReadFile(http.get(), buffer.data(), static_cast<DWORD>(buffer.size()), &read)) {
        return finish(LastErrorResult());
      }
      if (read == 0) return finish(kNetOk);
      buffer.resize(read);
      std::unique_lock<std::mutex> lock(exchange.mutex);
      exchange.changed.wait(lock, [&] { return exchange.chunks.size() < Exchange::kReadAhead || exchange.stop; });
      if (exchange.stop) {
        lock.unlock();
        return DrainRest(http.get(), buffer);
      }
      exchange.chunks.push_back(std::move(buffer));
      exchange.changed.notify_all();
    }
  }

  // The caller left before the end of the body. WinINet may keep the connection for the next
  // request even with part of a (chunked) body unread, and that request then reads the rest as
  // its answer (seen under Wine); a short remainder is read and dropped here so the connection
  // is clean, a long one is left to WinINet.
  static void DrainRest(HINTERNET http, std::vector<char>& buffer) {
    constexpr size_t kMaxDrainBytes = 1 << 20;
    constexpr auto kMaxDrainTime = std::chrono::seconds(2);
    const auto until = std::chrono::steady_clock::now() + kMaxDrainTime;
    buffer.resize(64 * 1024);
    for (size_t drained = 0; drained < kMaxDrainBytes && std::chrono::steady_clock::now() < until;) {
      DWORD read = 0;
      if (!InternetReadFile(http, buffer.data(), static_cast<DWORD>(buffer.size()), &read) || read == 0) return;
      drained += read;
    }
  }

  // The connection handle for the request's server, under the session for its agent and
  // time-outs; both made on first use and kept.
  HINTERNET Connection(const HttpGetRequest& request, const CrackedUrl& url) {
    const std::wstring agent = request.agent.empty() ? ProgramName() : win::Utf8ToWide(request.agent);
    const SessionKey sessionKey{agent, request.timeouts.connectMs, request.timeouts.sendMs, request.timeouts.receiveMs};
    const std::lock_guard<std::mutex> lock(mutex_);
    HINTERNET& session = sessions_[sessionKey];
    if (!session) {
      session = InternetOpenW(agent.c_str(), kAccessPreconfig, nullptr, nullptr, 0);
      if (!session) return nullptr;
      SetTimeout(session, kConnectTimeoutOption, request.timeouts.connectMs);
      SetTimeout(session, kDataSendTimeoutOption, request.timeouts.sendMs);
      SetTimeout(session, kDataReceiveTimeoutOption, request.timeouts.receiveMs);
    }
    HINTERNET& connection = connections_[{sessionKey, url.host, url.port, url.secure}];
    if (!connection) {
      connection = InternetConnectW(session, url.host.c_str(), url.port, nullptr, nullptr, INTERNET_SERVICE_HTTP,
                                    url.secure ? kConnectionFlagsHttps : kConnectionFlagsHttp, 1);
    }
    return connection;
  }

  using SessionKey = std::tuple<std::wstring, uint32_t, uint32_t, uint32_t>;
  using ServerKey = std::tuple<SessionKey, std::wstring, INTERNET_PORT, bool>;
  std::mutex mutex_;
  // Never closed: they live as long as the process, and may be in use on any thread.
  std::map<SessionKey, HINTERNET> sessions_;
  std::map<ServerKey, HINTERNET> connections_;
};

class DebuggerTrace final : public TraceSink {
 public:
  void Trace(const std::string& line) override { OutputDebugStringW(win::Utf8ToWide(line).c_str()); }
};

}  // namespace

HttpPort& PlatformHttpPort() {
  // Never destroyed: helper threads may use it until the process ends.
  static WinInetHttpPort* const port = new WinInetHttpPort;
  return *port;
}

TraceSink& PlatformTraceSink() {
  static DebuggerTrace sink;
  return sink;
}

}  // namespace corlinq
