// The HTTP transport on libcurl (Linux). Plain HTTP/1.0, the system's proxy
// settings (http_proxy, no_proxy), pull-style reads, redirects followed by
// the shared rules, cookies kept in memory for the client's life, and the
// proxy prompt through UserPrompts when a proxy answers 407.
#pragma once
#include <memory>

#include "net/HttpTransport.h"
#include "net/UserPrompts.h"

namespace quon {

class CurlHttpClient : public HttpClient {
 public:
  explicit CurlHttpClient(UserPrompts& prompts);
  ~CurlHttpClient() override;
  std::unique_ptr<HttpSession> OpenSession(std::string_view agent, const CancelFlag* cancel) override;

  struct Shared;

 private:
  UserPrompts& m_prompts;
  std::shared_ptr<Shared> m_shared;
};

}  // namespace quon
