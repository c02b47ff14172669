#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <wincrypt.h>
#include <wininet.h>

#include <cstring>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "platform/win/WinInetHttpClient.h"

namespace quon {

std::string WinInetErrorText(uint32_t code) {
  char buffer[1024] = {0};
  DWORD n = 0;
  HMODULE wininet = GetModuleHandleA("wininet.dll");
  if (wininet) {
    n = FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS, wininet, code, 0, buffer,
                       sizeof buffer, nullptr);
  }
  if (n == 0) {
    n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, buffer,
                       sizeof buffer, nullptr);
  }
  std::string text(buffer, n);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) text.pop_back();
  if (text.empty()) text = "Internet error " + std::to_string(code) + ".";
  return text;
}

// What every session of one client shares for the client's whole life: the
// proxy credentials given in WinINet's dialog, which each later request
// carries, so that the dialog is not shown again for every call.
struct WinInetHttpClient::Shared {
  std::mutex mutex;
  std::string proxyUser;
  std::string proxyPassword;
  // "Basic ..." when the proxy offered Basic, for requests to the host whose
  // request it challenged (those go through the same proxy).
  std::string basicAuthorization;
  std::string challengedHost;
  INTERNET_PORT challengedPort = 0;
  OwnedDialogRunner runDialog;  // set once, before any session
};

namespace {

using Shared = WinInetHttpClient::Shared;

static_assert(inet::kFlagSecure == INTERNET_FLAG_SECURE && INTERNET_DEFAULT_HTTPS_PORT == 443);
static_assert(inet::kErrorSecCertDateInvalid == ERROR_INTERNET_SEC_CERT_DATE_INVALID &&
              inet::kErrorSecCertCnInvalid == ERROR_INTERNET_SEC_CERT_CN_INVALID &&
              inet::kErrorInvalidCa == ERROR_INTERNET_INVALID_CA &&
              inet::kErrorSecurityChannel == ERROR_INTERNET_SECURITY_CHANNEL_ERROR);

[[noreturn]] void ThrowLastInternetError() {
  DWORD code = GetLastError();
  // A certificate that does not verify ends the request with the same
  // sentence as on every platform; it is never ignored or put to the user.
  if (const char* text = inet::SecureChannelErrorText(code)) throw InternetException(code, text);
  throw InternetException(code, WinInetErrorText(code));
}

// The handles of one session and the cancel watch. When the wait dialog
// abandons the worker, the watch closes the session handle, which closes
// every handle under it and ends a blocked call in the worker at once.
class SessionState {
 public:
  SessionState(HINTERNET session, const CancelFlag* cancel) : m_session(session), m_cancel(cancel) {
    if (m_cancel) {
      m_wake = CreateEventA(nullptr, FALSE, FALSE, nullptr);
      m_watch = std::thread([this] { Watch(); });
    }
  }
  ~SessionState() {
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_stop = true;
    }
    if (m_wake) SetEvent(m_wake);
    if (m_watch.joinable()) m_watch.join();
    if (m_wake) CloseHandle(m_wake);
    if (!m_closed) InternetCloseHandle(m_session);
  }

  HINTERNET Session() const { return m_session; }

  // Child handles (connections, requests) are registered so that the cancel
  // watch can close them, innermost first.
  void AddChild(HINTERNET handle) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_children.push_back(handle);
  }

  // Closes a child handle unless the cancel watch closed the whole tree.
  void CloseChild(HINTERNET handle) {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (auto it = m_children.begin(); it != m_children.end(); ++it) {
      if (*it == handle) {
        m_children.erase(it);
        break;
      }
    }
    if (!m_closed && handle) InternetCloseHandle(handle);
  }

  void CheckCancelled() const {
    if (m_cancel && m_cancel->IsCancelled()) throw CancelledException();
  }

 private:
  void Watch() {
    std::unique_lock<std::mutex> lock(m_mutex);
    while (!m_stop) {
      if (m_cancel->IsCancelled()) {
        // Closing a request handle ends a call blocked on it.
        for (auto it = m_children.rbegin(); it != m_children.rend(); ++it) InternetCloseHandle(*it);
        m_children.clear();
        InternetCloseHandle(m_session);
        m_closed = true;
        return;
      }
      lock.unlock();
      if (m_wake) {
        WaitForSingleObject(m_wake, 100);
      } else {
        Sleep(100);
      }
      lock.lock();
    }
  }

  HINTERNET m_session;
  const CancelFlag* m_cancel;
  std::mutex m_mutex;
  HANDLE m_wake = nullptr;  // set when the session ends
  bool m_stop = false;
  bool m_closed = false;
  std::vector<HINTERNET> m_children;
  std::thread m_watch;
};

// A header of the reply as text; empty when the reply has none.
std::string QueryHeader(HINTERNET request, DWORD query) {
  std::vector<char> buffer(256);
  for (int attempt = 0; attempt < 2; ++attempt) {
    DWORD length = static_cast<DWORD>(buffer.size() - 1);
    if (HttpQueryInfoA(request, query, buffer.data(), &length, nullptr)) return std::string(buffer.data(), length);
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || length > 64 * 1024) break;
    buffer.resize(length + 2);
  }
  return {};
}

// A text option of a handle (user name or password); empty when unset.
std::string QueryTextOption(HINTERNET handle, DWORD option) {
  char buffer[512] = {0};
  DWORD length = sizeof buffer - 1;
  if (!InternetQueryOptionA(handle, option, buffer, &length)) return {};
  return std::string(buffer, strnlen(buffer, sizeof buffer - 1));
}

// True when the reply's Proxy-Authenticate headers offer Basic.
bool OffersBasic(HINTERNET request) {
  for (DWORD index = 0;;) {
    char value[512] = {0};
    DWORD length = sizeof value - 1;
    if (!HttpQueryInfoA(request, HTTP_QUERY_PROXY_AUTHENTICATE, value, &length, &index)) return false;
    if (_strnicmp(value, "Basic", 5) == 0) return true;
  }
}

// The Basic credentials for a Proxy-Authorization header; empty when they
// cannot be encoded.
std::string BasicAuthorization(const std::string& user, const std::string& password) {
  const std::string plain = user + ":" + password;
  DWORD length = 0;
  const auto* bytes = reinterpret_cast<const BYTE*>(plain.data());
  const DWORD flags = CRYPT_STRING_BASE64 | CRYPT_STRING_NOCRLF;
  if (!CryptBinaryToStringA(bytes, static_cast<DWORD>(plain.size()), flags, nullptr, &length)) return {};
  std::string encoded(length, '\0');
  if (!CryptBinaryToStringA(bytes, static_cast<DWORD>(plain.size()), flags, &encoded[0], &length)) return {};
  encoded.resize(length);
  return "Basic " + encoded;
}

// Where a request goes.
struct Target {
  std::string host;
  INTERNET_PORT port = INTERNET_DEFAULT_HTTP_PORT;
  std::string path;
};

// The target a Location names, relative to `base`; false for a location
// that is no URL or leaves the request's scheme (https for a secure request,
// plain http otherwise).
bool ResolveLocation(const Target& base, bool secure, const std::string& location, Target& next) {
  const bool ipv6 = base.host.find(':') != std::string::npos;
  const std::string host = ipv6 ? "[" + base.host + "]" : base.host;
  const std::string baseUrl = (secure ? "https://" : "http://") + host + ":" + std::to_string(base.port) +
                              (base.path.empty() || base.path[0] != '/' ? "/" : "") + base.path;
  std::vector<char> combined(INTERNET_MAX_URL_LENGTH + 1);
  DWORD length = static_cast<DWORD>(combined.size());
  if (!InternetCombineUrlA(baseUrl.c_str(), location.c_str(), combined.data(), &length, 0)) return false;
  char name[INTERNET_MAX_HOST_NAME_LENGTH + 1] = {0};
  std::vector<char> path(INTERNET_MAX_URL_LENGTH + 1);
  std::vector<char> extra(INTERNET_MAX_URL_LENGTH + 1);
  URL_COMPONENTSA parts;
  std::memset(&parts, 0, sizeof parts);
  parts.dwStructSize = sizeof parts;
  parts.lpszHostName = name;
  parts.dwHostNameLength = sizeof name;
  parts.lpszUrlPath = path.data();
  parts.dwUrlPathLength = static_cast<DWORD>(path.size());
  parts.lpszExtraInfo = extra.data();
  parts.dwExtraInfoLength = static_cast<DWORD>(extra.size());
  if (!InternetCrackUrlA(combined.data(), length, 0, &parts)) return false;
  if (parts.nScheme != (secure ? INTERNET_SCHEME_HTTPS : INTERNET_SCHEME_HTTP) || name[0] == '\0') return false;
  next.host = name;
  next.port = parts.nPort;
  std::string rest = std::string(path.data()) + extra.data();
  next.path = rest.substr(0, rest.find('#'));
  if (next.path.empty()) next.path = "/";
  return true;
}

class WinInetRequest : public HttpRequest {
 public:
  WinInetRequest(std::shared_ptr<SessionState> state, std::shared_ptr<Shared> shared, HINTERNET connection,
                 HINTERNET request, Target target, std::string verb, std::string version, DWORD flags)
      : m_state(std::move(state)),
        m_shared(std::move(shared)),
        m_connection(connection),
        m_request(request),
        m_target(std::move(target)),
        m_verb(std::move(verb)),
        m_version(std::move(version)),
        m_flags(flags) {
    OfferKeptCredentials();
  }
  ~WinInetRequest() override {
    m_state->CloseChild(m_request);
    if (m_ownConnection) m_state->CloseChild(m_ownConnection);
  }

  // WinINet is told not to follow redirects itself: it would follow a loop
  // without end, and not by the same rules on every version. They are
  // followed here, request by request.
  void Send(std::string_view headers, std::string_view body) override {
    std::string h(headers);
    std::string verb = m_verb;
    std::string data(body);
    for (int redirects = 0;; ++redirects) {
      SendOnce(h, data);
      const uint32_t status = QueryStatusCode();
      if (!redirect::IsFollowed(status)) return;
      const std::string location = QueryHeader(m_request, HTTP_QUERY_LOCATION);
      if (location.empty()) return;
      Target next;
      const bool secure = (m_flags & INTERNET_FLAG_SECURE) != 0;
      if (redirects == redirect::kMaxRedirects || !ResolveLocation(m_target, secure, location, next))
        throw InternetException(inet::kErrorRedirectFailed, WinInetErrorText(inet::kErrorRedirectFailed));
      if (!redirect::KeepsVerb(status)) {
        verb = "GET";
        data.clear();
      }
      Reopen(next, verb);
    }
  }

  uint32_t QueryStatusCode() override {
    char buffer[32] = {0};
    DWORD length = sizeof buffer - 1;
    if (!HttpQueryInfoA(m_request, HTTP_QUERY_STATUS_CODE, buffer, &length, nullptr)) return 0;
    return static_cast<uint32_t>(strtoul(buffer, nullptr, 10));
  }

  std::optional<uint64_t> ContentLength() override {
    if (!QueryHeader(m_request, HTTP_QUERY_TRANSFER_ENCODING).empty()) return std::nullopt;
    const std::string text = QueryHeader(m_request, HTTP_QUERY_CONTENT_LENGTH);
    const size_t first = text.find_first_not_of(' ');
    const size_t last = text.find_last_not_of(' ');
    if (first == std::string::npos || last - first >= 20) return std::nullopt;
    uint64_t value = 0;
    for (size_t i = first; i <= last; ++i) {
      if (text[i] < '0' || text[i] > '9') return std::nullopt;
      value = value * 10 + static_cast<uint64_t>(text[i] - '0');
    }
    return value;
  }

  uint32_t ProxyAuthDialog() override {
    m_state->CheckCancelled();
    DWORD result = ERROR_CANCELLED;
    auto show = [&](void* owner) {
      result = InternetErrorDlg(static_cast<HWND>(owner), m_request, ERROR_INTERNET_INCORRECT_PASSWORD,
                                FLAGS_ERROR_UI_FILTER_FOR_ERRORS | FLAGS_ERROR_UI_FLAGS_CHANGE_OPTIONS |
                                    FLAGS_ERROR_UI_FLAGS_GENERATE_DATA,
                                nullptr);
    };
    if (!m_shared->runDialog) {
      show(GetDesktopWindow());
    } else if (!m_shared->runDialog(show)) {
      result = ERROR_CANCELLED;
    }
    m_state->CheckCancelled();
    if (result == ERROR_INTERNET_FORCE_RETRY) {
      // The dialog left the credentials on the request; keep them for every
      // later request of the run.
      std::string user = QueryTextOption(m_request, INTERNET_OPTION_PROXY_USERNAME);
      std::string password = QueryTextOption(m_request, INTERNET_OPTION_PROXY_PASSWORD);
      std::string basic = OffersBasic(m_request) ? BasicAuthorization(user, password) : std::string();
      std::lock_guard<std::mutex> lock(m_shared->mutex);
      m_shared->proxyUser = std::move(user);
      m_shared->proxyPassword = std::move(password);
      m_shared->basicAuthorization = std::move(basic);
      m_shared->challengedHost = m_target.host;
      m_shared->challengedPort = m_target.port;
    }
    return result;
  }

  void SetReadBufferSize(uint32_t bytes) override {
    DWORD value = bytes;
    InternetSetOptionA(m_request, INTERNET_OPTION_READ_BUFFER_SIZE, &value, sizeof value);
  }

  size_t Read(void* buffer, size_t n) override {
    m_state->CheckCancelled();
    DWORD read = 0;
    BOOL ok = InternetReadFile(m_request, buffer, static_cast<DWORD>(n), &read);
    m_state->CheckCancelled();
    if (!ok) ThrowLastInternetError();
    return read;
  }

 private:
  void SendOnce(const std::string& headers, std::string& body) {
    m_state->CheckCancelled();
    BOOL ok = HttpSendRequestA(m_request, headers.c_str(), static_cast<DWORD>(headers.size()),
                               body.empty() ? nullptr : &body[0], static_cast<DWORD>(body.size()));
    m_state->CheckCancelled();
    if (!ok) ThrowLastInternetError();
  }

  // Credentials given earlier in the run: WinINet answers the proxy's 407
  // with them by itself. For a proxy that takes Basic they go with the
  // request itself, so the proxy sees no unauthenticated request first.
  void OfferKeptCredentials() {
    std::lock_guard<std::mutex> lock(m_shared->mutex);
    if (m_shared->proxyUser.empty() && m_shared->proxyPassword.empty()) return;
    InternetSetOptionA(m_request, INTERNET_OPTION_PROXY_USERNAME, const_cast<char*>(m_shared->proxyUser.c_str()),
                       static_cast<DWORD>(m_shared->proxyUser.size()));
    InternetSetOptionA(m_request, INTERNET_OPTION_PROXY_PASSWORD, const_cast<char*>(m_shared->proxyPassword.c_str()),
                       static_cast<DWORD>(m_shared->proxyPassword.size()));
    if (!m_shared->basicAuthorization.empty() && m_target.host == m_shared->challengedHost &&
        m_target.port == m_shared->challengedPort) {
      const std::string header = "Proxy-Authorization: " + m_shared->basicAuthorization;
      HttpAddRequestHeadersA(m_request, header.c_str(), static_cast<DWORD>(header.size()),
                             HTTP_ADDREQ_FLAG_ADD | HTTP_ADDREQ_FLAG_REPLACE);
    }
  }

  // The next request of a redirect, on a connection to its host.
  void Reopen(const Target& next, const std::string& verb) {
    m_state->CloseChild(m_request);
    m_request = nullptr;
    if (next.host != m_target.host || next.port != m_target.port) {
      HINTERNET connection = InternetConnectA(m_state->Session(), next.host.c_str(), next.port, nullptr, nullptr,
                                              INTERNET_SERVICE_HTTP, 0, 0);
      if (!connection) ThrowLastInternetError();
      m_state->AddChild(connection);
      if (m_ownConnection) m_state->CloseChild(m_ownConnection);
      m_ownConnection = m_connection = connection;
    }
    m_target = next;
    HINTERNET request = HttpOpenRequestA(m_connection, verb.c_str(), next.path.c_str(), m_version.c_str(), nullptr,
                                         nullptr, m_flags, 0);
    if (!request) ThrowLastInternetError();
    m_state->AddChild(request);
    m_request = request;
    OfferKeptCredentials();
  }

  std::shared_ptr<SessionState> m_state;
  std::shared_ptr<Shared> m_shared;
  HINTERNET m_connection;               // the connection of the current target
  HINTERNET m_ownConnection = nullptr;  // one opened for a redirect to another host
  HINTERNET m_request;
  Target m_target;
  std::string m_verb;
  std::string m_version;
  DWORD m_flags;
};

class WinInetConnection : public HttpConnection {
 public:
  WinInetConnection(std::shared_ptr<SessionState> state, std::shared_ptr<Shared> shared, HINTERNET connection,
                    std::string host, INTERNET_PORT port)
      : m_state(std::move(state)), m_shared(std::move(shared)), m_connection(connection), m_host(std::move(host)),
        m_port(port) {}
  ~WinInetConnection() override { m_state->CloseChild(m_connection); }

  std::unique_ptr<HttpRequest> OpenRequest(std::string_view verb, std::string_view path, std::string_view version,
                                           uint32_t flags) override {
    m_state->CheckCancelled();
    std::string v(verb), p(path), ver(version);
    const DWORD requestFlags = flags | INTERNET_FLAG_NO_AUTO_REDIRECT;
    HINTERNET request = HttpOpenRequestA(m_connection, v.c_str(), p.c_str(), ver.c_str(), nullptr, nullptr,
                                         requestFlags, 0);
    if (!request) return nullptr;
    m_state->AddChild(request);
    return std::make_unique<WinInetRequest>(m_state, m_shared, m_connection, request, Target{m_host, m_port, p}, v,
                                            ver, requestFlags);
  }

 private:
  std::shared_ptr<SessionState> m_state;
  std::shared_ptr<Shared> m_shared;
  HINTERNET m_connection;
  std::string m_host;
  INTERNET_PORT m_port;
};

class WinInetSession : public HttpSession {
 public:
  WinInetSession(std::shared_ptr<SessionState> state, std::shared_ptr<Shared> shared)
      : m_state(std::move(state)), m_shared(std::move(shared)) {}

  std::unique_ptr<HttpConnection> Connect(std::string_view host, uint16_t port) override {
    m_state->CheckCancelled();
    std::string h(host);
    HINTERNET connection =
        InternetConnectA(m_state->Session(), h.c_str(), port, nullptr, nullptr, INTERNET_SERVICE_HTTP, 0, 0);
    if (!connection) return nullptr;
    m_state->AddChild(connection);
    return std::make_unique<WinInetConnection>(m_state, m_shared, connection, h, port);
  }

 private:
  std::shared_ptr<SessionState> m_state;
  std::shared_ptr<Shared> m_shared;
};

}  // namespace

WinInetHttpClient::WinInetHttpClient(OwnedDialogRunner runDialog, ProxySetting proxy)
    : m_shared(std::make_shared<Shared>()), m_proxy(std::move(proxy)) {
  m_shared->runDialog = std::move(runDialog);
}

WinInetHttpClient::~WinInetHttpClient() = default;

std::unique_ptr<HttpSession> WinInetHttpClient::OpenSession(std::string_view agent, const CancelFlag* cancel) {
  std::string a(agent);
  // The administrator's proxy takes every request, loopback included;
  // otherwise the system's settings decide.
  const std::string proxy = m_proxy.host + ":" + std::to_string(m_proxy.port);
  HINTERNET session =
      m_proxy.kind == ProxySetting::Kind::Direct  ? InternetOpenA(a.c_str(), INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0)
      : m_proxy.kind == ProxySetting::Kind::Fixed ? InternetOpenA(a.c_str(), INTERNET_OPEN_TYPE_PROXY, proxy.c_str(),
                                                                  "<-loopback>", 0)
                                                  : InternetOpenA(a.c_str(), INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
  if (!session) return nullptr;
  return std::make_unique<WinInetSession>(std::make_shared<SessionState>(session, cancel), m_shared);
}

}  // namespace quon
