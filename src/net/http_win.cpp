#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <wininet.h>

#include <mutex>
#include <thread>
#include <vector>

#include "net/WinInetHttpClient.h"

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

namespace {

[[noreturn]] void ThrowLastInternetError() {
  DWORD code = GetLastError();
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

class WinInetRequest : public HttpRequest {
 public:
  WinInetRequest(std::shared_ptr<SessionState> state, HINTERNET request)
      : m_state(std::move(state)), m_request(request) {}
  ~WinInetRequest() override { m_state->CloseChild(m_request); }

  void Send(std::string_view headers, std::string_view body) override {
    m_state->CheckCancelled();
    std::string h(headers);
    BOOL ok = HttpSendRequestA(m_request, h.c_str(), static_cast<DWORD>(h.size()),
                               const_cast<char*>(body.data()), static_cast<DWORD>(body.size()));
    m_state->CheckCancelled();
    if (!ok) ThrowLastInternetError();
  }

  uint32_t QueryStatusCode() override {
    char buffer[32] = {0};
    DWORD length = sizeof buffer - 1;
    if (!HttpQueryInfoA(m_request, HTTP_QUERY_STATUS_CODE, buffer, &length, nullptr)) return 0;
    return static_cast<uint32_t>(strtoul(buffer, nullptr, 10));
  }

  uint32_t ProxyAuthDialog() override {
    m_state->CheckCancelled();
    DWORD result = InternetErrorDlg(GetDesktopWindow(), m_request, ERROR_INTERNET_INCORRECT_PASSWORD,
                                    FLAGS_ERROR_UI_FILTER_FOR_ERRORS | FLAGS_ERROR_UI_FLAGS_CHANGE_OPTIONS |
                                        FLAGS_ERROR_UI_FLAGS_GENERATE_DATA,
                                    nullptr);
    m_state->CheckCancelled();
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
  std::shared_ptr<SessionState> m_state;
  HINTERNET m_request;
};

class WinInetConnection : public HttpConnection {
 public:
  WinInetConnection(std::shared_ptr<SessionState> state, HINTERNET connection)
      : m_state(std::move(state)), m_connection(connection) {}
  ~WinInetConnection() override { m_state->CloseChild(m_connection); }

  std::unique_ptr<HttpRequest> OpenRequest(std::string_view verb, std::string_view path, std::string_view version,
                                           uint32_t flags) override {
    m_state->CheckCancelled();
    std::string v(verb), p(path), ver(version);
    HINTERNET request = HttpOpenRequestA(m_connection, v.c_str(), p.c_str(), ver.c_str(), nullptr, nullptr,
                                         flags, 0);
    if (!request) return nullptr;
    m_state->AddChild(request);
    return std::make_unique<WinInetRequest>(m_state, request);
  }

 private:
  std::shared_ptr<SessionState> m_state;
  HINTERNET m_connection;
};

class WinInetSession : public HttpSession {
 public:
  explicit WinInetSession(std::shared_ptr<SessionState> state) : m_state(std::move(state)) {}

  std::unique_ptr<HttpConnection> Connect(std::string_view host, uint16_t port) override {
    m_state->CheckCancelled();
    std::string h(host);
    HINTERNET connection =
        InternetConnectA(m_state->Session(), h.c_str(), port, nullptr, nullptr, INTERNET_SERVICE_HTTP, 0, 0);
    if (!connection) return nullptr;
    m_state->AddChild(connection);
    return std::make_unique<WinInetConnection>(m_state, connection);
  }

 private:
  std::shared_ptr<SessionState> m_state;
};

}  // namespace

std::unique_ptr<HttpSession> WinInetHttpClient::OpenSession(std::string_view agent, const CancelFlag* cancel) {
  std::string a(agent);
  HINTERNET session = InternetOpenA(a.c_str(), INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
  if (!session) return nullptr;
  return std::make_unique<WinInetSession>(std::make_shared<SessionState>(session, cancel));
}

}  // namespace quon
