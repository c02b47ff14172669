#include <windows.h>

#include <cstdlib>
#include <string>

#include "support/NetTestSupport.h"
#include "platform/win/WinInetHttpClient.h"

namespace quon::test {

std::unique_ptr<HttpClient> PlatformHttpClient(UserPrompts&) { return std::make_unique<WinInetHttpClient>(); }

// WinINet's preconfigured settings fall back to http_proxy where the system
// names no proxy: cleared in both the process's and the C library's copy.
void ClearProxyEnvironment() {
  for (const char* name : {"http_proxy", "HTTP_PROXY", "no_proxy", "NO_PROXY"}) {
    SetEnvironmentVariableA(name, nullptr);
    _putenv((std::string(name) + "=").c_str());
  }
}

}  // namespace quon::test
