// The HTTP transport on libcurl. Each request is one easy handle driven by
// its own multi handle, so that reads are pull-style: the write callback
// fills a small buffer and pauses the transfer when it is full; Read()
// drains it and resumes. Every wait polls for at most 100 ms and checks the
// cancel flag in between. Redirects are followed here, one transfer per
// hop, so that the rules are those of every transport (HttpTransport.h).
// The proxy is the one the desktop names through GIO; when it names none,
// libcurl reads http_proxy (https_proxy) and no_proxy itself, as
// CURLOPT_PROXY is then left alone. HTTPS requests verify the server's
// certificate against the system's store and the client's extra
// certificate authorities, which are added to OpenSSL's store of each
// connection; a certificate that does not verify fails the request.
#include "platform/posix/CurlHttpClient.h"

#include <curl/curl.h>

#include <memory>
#include <mutex>
#include <string>

#include "platform/posix/CurlRequest.h"
#include "platform/posix/CurlShared.h"

namespace quon {
namespace {

void GlobalInit() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

using Shared = CurlHttpClient::Shared;

class CurlConnection : public HttpConnection {
 public:
  explicit CurlConnection(ConnectionState state) : m_state(std::move(state)) {}

  std::unique_ptr<HttpRequest> OpenRequest(std::string_view verb, std::string_view path, std::string_view,
                                           uint32_t flags) override {
    if (m_state.cancel && m_state.cancel->IsCancelled()) throw CancelledException();
    const bool secure = (flags & inet::kFlagSecure) != 0;
    std::string host = m_state.host;
    if (host.find(':') != std::string::npos && host.front() != '[') host = "[" + host + "]";
    std::string url = (secure ? "https://" : "http://") + host + ":" + std::to_string(m_state.port);
    if (path.empty() || path.front() != '/') url += '/';
    url += path;
    return std::make_unique<CurlRequest>(m_state, secure, std::string(verb), std::move(url));
  }

 private:
  ConnectionState m_state;
};

class CurlSession : public HttpSession {
 public:
  CurlSession(std::string agent, const CancelFlag* cancel, std::shared_ptr<Shared> shared)
      : m_agent(std::move(agent)), m_cancel(cancel), m_shared(std::move(shared)) {}

  std::unique_ptr<HttpConnection> Connect(std::string_view host, uint16_t port) override {
    if (host.empty()) return nullptr;
    ConnectionState state;
    state.host = std::string(host);
    state.port = port;
    state.agent = m_agent;
    state.cancel = m_cancel;
    state.shared = m_shared;
    return std::make_unique<CurlConnection>(std::move(state));
  }

 private:
  std::string m_agent;
  const CancelFlag* m_cancel;
  std::shared_ptr<Shared> m_shared;
};

}  // namespace

CurlHttpClient::CurlHttpClient(UserPrompts& prompts, GProxyResolver* resolver, std::string_view extraCaPem,
                               ProxySetting proxy) {
  GlobalInit();
  m_shared = std::make_shared<Shared>(prompts, resolver, extraCaPem, std::move(proxy));
}

CurlHttpClient::~CurlHttpClient() = default;

std::unique_ptr<HttpSession> CurlHttpClient::OpenSession(std::string_view agent, const CancelFlag* cancel) {
  GlobalInit();
  return std::make_unique<CurlSession>(std::string(agent), cancel, m_shared);
}

}  // namespace quon
