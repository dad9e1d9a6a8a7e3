// The HTTP port over WinINet. Each GET opens its own internet handle, connection and request
// (owned by move-only wrappers) and closes them on every path.
#include <windows.h>
#include <wininet.h>

#include <cwchar>
#include <string>
#include <vector>

#include "base/win/scoped_handle.h"
#include "base/win/wide.h"
#include "protocol/platform_transport.h"
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

    const std::wstring agent = request.agent.empty() ? ProgramName() : win::Utf8ToWide(request.agent);
    ScopedInternet internet(InternetOpenW(agent.c_str(), kAccessPreconfig, nullptr, nullptr, 0));
    if (!internet) return LastErrorResult();
    SetTimeout(internet.get(), kConnectTimeoutOption, request.timeouts.connectMs);
    SetTimeout(internet.get(), kDataSendTimeoutOption, request.timeouts.sendMs);
    SetTimeout(internet.get(), kDataReceiveTimeoutOption, request.timeouts.receiveMs);

    ScopedInternet connection(InternetConnectW(internet.get(), url.host.c_str(), url.port, nullptr,
                                               nullptr, INTERNET_SERVICE_HTTP,
                                               url.secure ? kConnectionFlagsHttps : kConnectionFlagsHttp, 1));
    if (!connection) return LastErrorResult();
    ScopedInternet http(HttpOpenRequestW(connection.get(), L"GET", url.object.c_str(), nullptr, nullptr,
                                         nullptr, url.secure ? kRequestFlagsHttps : kRequestFlagsHttp, 1));
    if (!http) return LastErrorResult();

    // The data time-outs above do not reach every WinINet (Wine's ignores them); the request's
    // own send and receive time-outs make the limits hold there too.
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
    if (!HttpSendRequestW(http.get(), nullptr, 0, nullptr, 0)) return LastErrorResult();
    if (!win::ServerKeyAllowed(http.get(), url.secure)) return kNetFailed;

    HttpResponseHead head;
    DWORD status = 0;
    DWORD statusSize = sizeof(status);
    if (!HttpQueryInfoW(http.get(), HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status,
                        &statusSize, nullptr)) {
      return LastErrorResult();
    }
    head.status = static_cast<int>(status);
    wchar_t lengthText[32] = {};
    DWORD lengthSize = sizeof(lengthText) - sizeof(wchar_t);
    if (HttpQueryInfoW(http.get(), HTTP_QUERY_CONTENT_LENGTH, lengthText, &lengthSize, nullptr)) {
      wchar_t* end = nullptr;
      const unsigned long long value = std::wcstoull(lengthText, &end, 10);
      if (end != lengthText && *end == L'\0') head.contentLength = value;
    }
    if (sink.OnHead(head) != BodyAction::kContinue) return kNetFailed;

    std::vector<char> buffer(request.chunkSize ? request.chunkSize : 1);
    for (;;) {
      DWORD read = 0;
      if (!InternetReadFile(http.get(), buffer.data(), static_cast<DWORD>(buffer.size()), &read)) {
        return LastErrorResult();
      }
      if (read == 0) return kNetOk;
      if (sink.OnBody(buffer.data(), read) != BodyAction::kContinue) return kNetFailed;
    }
  }
};

class DebuggerTrace final : public TraceSink {
 public:
  void Trace(const std::string& line) override { OutputDebugStringW(win::Utf8ToWide(line).c_str()); }
};

}  // namespace

HttpPort& PlatformHttpPort() {
  static WinInetHttpPort port;
  return port;
}

TraceSink& PlatformTraceSink() {
  static DebuggerTrace sink;
  return sink;
}

}  // namespace corlinq
