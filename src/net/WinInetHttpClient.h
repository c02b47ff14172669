// The HTTP transport on WinINet (Windows): the system's preconfigured proxy
// settings, synchronous calls, redirects followed by the shared rules, and
// WinINet's own dialog for proxy credentials.
#pragma once
#include <cstdint>
#include <memory>
#include <string>

#include "net/HttpTransport.h"

namespace quon {

class WinInetHttpClient : public HttpClient {
 public:
  std::unique_ptr<HttpSession> OpenSession(std::string_view agent, const CancelFlag* cancel) override;
};

// The text of a WinINet error code from wininet.dll's message table (or the
// system's), without the trailing line end; a generic text when neither
// has one.
std::string WinInetErrorText(uint32_t code);

}  // namespace quon
