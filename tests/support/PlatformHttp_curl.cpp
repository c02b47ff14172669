#include <cstdlib>

#include "support/NetTestSupport.h"
#include "platform/posix/CurlHttpClient.h"

namespace quon::test {

std::unique_ptr<HttpClient> PlatformHttpClient(UserPrompts& prompts) {
  return std::make_unique<CurlHttpClient>(prompts);
}

void ClearProxyEnvironment() {
  for (const char* name : {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY",
                           "no_proxy", "NO_PROXY"})
    unsetenv(name);
}

}  // namespace quon::test
