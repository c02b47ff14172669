// The HTTP transport on WinINet (Windows): the system's preconfigured proxy
// settings, synchronous calls, redirects followed by the shared rules, and
// WinINet's own dialog for proxy credentials; credentials given there serve
// the client's whole life.
#pragma once
#include <cstdint>
#include <memory>
#include <string>

#include "net/HttpTransport.h"

namespace quon {

class WinInetHttpClient : public HttpClient {
 public:
  WinInetHttpClient();
  ~WinInetHttpClient() override;
  std::unique_ptr<HttpSession> OpenSession(std::string_view agent, const CancelFlag* cancel) override;

  struct Shared;

 private:
  std::shared_ptr<Shared> m_shared;
};

// The text of a WinINet error code from wininet.dll's message table (or the
// system's), without the trailing line end; a generic text when neither
// has one.
std::string WinInetErrorText(uint32_t code);

}  // namespace quon
