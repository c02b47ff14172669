// The HTTP transport on WinINet (Windows): the system's preconfigured proxy
// settings, synchronous calls, redirects followed by the shared rules, and
// WinINet's own dialog for proxy credentials; credentials given there serve
// the client's whole life.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "net/HttpTransport.h"

namespace quon {

// Shows WinINet's credentials dialog where the front end wants it: calls
// `show` with the owner window (an HWND) on the thread that owns it, waits,
// and returns false when the dialog could not be shown (the program is
// ending), which counts as dismissed.
using OwnedDialogRunner = std::function<bool(const std::function<void(void* owner)>& show)>;

class WinInetHttpClient : public HttpClient {
 public:
  // Without a runner the dialog is shown by the calling thread over the
  // desktop (the command-line mode has no window).
  // `proxy`: the administrator's proxy setting; the system's by default.
  explicit WinInetHttpClient(OwnedDialogRunner runDialog = nullptr, ProxySetting proxy = {});
  ~WinInetHttpClient() override;
  std::unique_ptr<HttpSession> OpenSession(std::string_view agent, const CancelFlag* cancel) override;

  struct Shared;

 private:
  std::shared_ptr<Shared> m_shared;
  ProxySetting m_proxy;
};

// The text of a WinINet error code from wininet.dll's message table (or the
// system's), without the trailing line end; a generic text when neither
// has one.
std::string WinInetErrorText(uint32_t code);

}  // namespace quon
