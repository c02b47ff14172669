// The HTTP transport on libcurl (Linux). HTTP/1.0, over TLS for a secure
// request (the server's certificate verified against the system's store and
// the build's extra authorities), the desktop's proxy
// settings through GIO (falling back to http_proxy and no_proxy), pull-style
// reads, redirects followed by the shared rules, cookies kept in memory for
// the client's life, and the proxy prompt through UserPrompts when a proxy
// answers 407; credentials given there serve the client's whole life.
#pragma once
#include <memory>
#include <string_view>

#include "base/BuildConfig.h"
#include "base/UserPrompts.h"
#include "net/HttpTransport.h"

typedef struct _GProxyResolver GProxyResolver;

namespace quon {

class CurlHttpClient : public HttpClient {
 public:
  // `resolver` names the proxy for a URL; null stands for GIO's default
  // resolver (the desktop's settings). `extraCaPem` holds the certificate
  // authorities (PEM) that HTTPS trusts besides the system's store: the
  // build's own unless a test names others. `proxy`: the administrator's
  // proxy setting; the system's (the resolver's) by default.
  explicit CurlHttpClient(UserPrompts& prompts, GProxyResolver* resolver = nullptr,
                          std::string_view extraCaPem = UpdateExtraCaCertificates(), ProxySetting proxy = {});
  ~CurlHttpClient() override;
  std::unique_ptr<HttpSession> OpenSession(std::string_view agent, const CancelFlag* cancel) override;

  struct Shared;

 private:
  std::shared_ptr<Shared> m_shared;
};

}  // namespace quon
