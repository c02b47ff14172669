// Setting up one transfer of a request: its options and headers, the proxy
// and its credentials, and the verification of the server's certificate.
#include <openssl/ssl.h>

#include <cstdlib>
#include <string>

#include "base/Trace.h"
#include "platform/posix/CurlErrors.h"
#include "platform/posix/CurlRequest.h"
#include "platform/posix/DesktopProxy.h"

namespace quon {
namespace {

constexpr long kConnectTimeoutSeconds = 60;

// The proxy libcurl takes from the environment for a URL of the scheme when
// CURLOPT_PROXY is left alone (no_proxy aside): named in the prompt.
std::string EnvironmentProxy(bool secure) {
  // Only https has an upper-case variable that libcurl reads.
  const char* const names[] = {secure ? "https_proxy" : "http_proxy", secure ? "HTTPS_PROXY" : "all_proxy",
                               "all_proxy", "ALL_PROXY"};
  for (const char* name : names) {
    const char* value = std::getenv(name);
    if (value && *value) return value;
  }
  return {};
}

}  // namespace

void CurlRequest::Reset() {
  if (m_added) {
    curl_multi_remove_handle(m_multi, m_easy);
    m_added = false;
  }
  curl_easy_reset(m_easy);
  if (m_headers) {
    curl_slist_free_all(m_headers);
    m_headers = nullptr;
  }
  m_head = m_tail = 0;
  m_paused = m_done = m_headersDone = m_location = m_credentialsSent = false;
  m_result = CURLE_OK;
  m_status = 0;
  m_offeredSchemes = 0;
  m_errorText[0] = '\0';
}

// One transfer: `verb` to `url` with the headers and m_body.
void CurlRequest::StartTransfer(const std::string& verb, const std::string& url, std::string_view headers) {
  Reset();
  // One header per line; WinINet-like, no Accept unless asked, no Expect.
  size_t start = 0;
  while (start < headers.size()) {
    size_t end = headers.find("\r\n", start);
    std::string_view line = headers.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
    if (!line.empty()) m_headers = curl_slist_append(m_headers, std::string(line).c_str());
    if (end == std::string_view::npos) break;
    start = end + 2;
  }
  m_headers = curl_slist_append(m_headers, "Accept:");
  m_headers = curl_slist_append(m_headers, "Expect:");

  CURL* e = m_easy;
  curl_easy_setopt(e, CURLOPT_URL, url.c_str());
  curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, m_secure ? "https" : "http");
  if (m_secure) SetUpVerification();
  curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(e, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_0));
  curl_easy_setopt(e, CURLOPT_USERAGENT, m_connection.agent.c_str());
  curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT, kConnectTimeoutSeconds);
  curl_easy_setopt(e, CURLOPT_BUFFERSIZE, kCurlBufferSize);
  curl_easy_setopt(e, CURLOPT_ERRORBUFFER, m_errorText);
  if (verb == "POST") {
    curl_easy_setopt(e, CURLOPT_POST, 1L);
    curl_easy_setopt(e, CURLOPT_POSTFIELDS, m_body.data());
    curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(m_body.size()));
  } else if (verb == "GET") {
    curl_easy_setopt(e, CURLOPT_HTTPGET, 1L);
  } else {
    curl_easy_setopt(e, CURLOPT_CUSTOMREQUEST, verb.c_str());
  }
  curl_easy_setopt(e, CURLOPT_HTTPHEADER, m_headers);
  curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, &CurlRequest::OnHeader);
  curl_easy_setopt(e, CURLOPT_HEADERDATA, this);
  curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, &CurlRequest::OnData);
  curl_easy_setopt(e, CURLOPT_WRITEDATA, this);
  // Cookies the server sets are sent back for the rest of the run.
  curl_easy_setopt(e, CURLOPT_SHARE, m_connection.shared->share);
  curl_easy_setopt(e, CURLOPT_COOKIEFILE, "");

  // The administrator's proxy, or none, when the policy names one;
  // otherwise the desktop's proxy for this URL decides, and without one,
  // libcurl goes by the environment. Credentials given at the prompt go
  // with every later request to that proxy, in place of any the setting
  // carries; for a proxy that takes Basic they go with the first request,
  // so the proxy sees no unauthenticated request first.
  const ProxySetting& policy = m_connection.shared->proxy;
  if (policy.kind == ProxySetting::Kind::Direct) {
    m_proxyName.clear();
    curl_easy_setopt(e, CURLOPT_PROXY, "");  // and none from the environment
  } else {
    const std::string desktop =
        policy.kind == ProxySetting::Kind::Fixed
            ? "http://" + policy.host + ":" + std::to_string(policy.port)
            : DesktopProxyFor(m_connection.shared->resolver, url, m_connection.cancel);
    m_proxyName = WithoutUserInfo(desktop.empty() ? EnvironmentProxy(m_secure) : desktop);
    ProxyCredentials credentials;
    const bool kept = m_connection.shared->CredentialsFor(m_proxyName, credentials);
    if (!desktop.empty() || kept) curl_easy_setopt(e, CURLOPT_PROXY, kept ? m_proxyName.c_str() : desktop.c_str());
    if (!desktop.empty()) curl_easy_setopt(e, CURLOPT_NOPROXY, "");
    if (kept) {
      curl_easy_setopt(e, CURLOPT_PROXYUSERNAME, credentials.user.c_str());
      curl_easy_setopt(e, CURLOPT_PROXYPASSWORD, credentials.password.c_str());
      curl_easy_setopt(e, CURLOPT_PROXYAUTH, credentials.schemes ? credentials.schemes : CURLAUTH_ANY);
      m_credentialsSent = true;
    }
  }

  if (curl_multi_add_handle(m_multi, m_easy) != CURLM_OK) throw std::bad_alloc();
  m_added = true;
}

// The server's certificate must verify and name the host; the system's
// store is libcurl's default, the extra authorities are added to it. The
// context also hears of a server asking for a client certificate, so that
// a failure that follows is told as that (12044), as WinINet tells it.
void CurlRequest::SetUpVerification() {
  curl_easy_setopt(m_easy, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(m_easy, CURLOPT_SSL_VERIFYHOST, 2L);
  m_tls.shared = m_connection.shared.get();
  if (curl_easy_setopt(m_easy, CURLOPT_SSL_CTX_FUNCTION, &TlsWatch::SetUpContext) != CURLE_OK ||
      curl_easy_setopt(m_easy, CURLOPT_SSL_CTX_DATA, &m_tls) != CURLE_OK) {
    if (m_connection.shared->extraCas.empty()) return;
    // A libcurl on another TLS library: the build's authorities cannot
    // be added, and without them the server would not verify.
    TraceMessage("http: this libcurl cannot take the extra certificate authorities");
    ThrowSecureChannelError(inet::kErrorSecurityChannel);
  }
}

// The context's slot that points to the watch of its request.
int CurlRequest::TlsWatch::Slot() {
  static const int slot = SSL_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
  return slot;
}

// CURLOPT_SSL_CTX_FUNCTION, for each connection of the request.
CURLcode CurlRequest::TlsWatch::SetUpContext(CURL*, void* sslContext, void* user) {
  auto* context = static_cast<SSL_CTX*>(sslContext);
  auto* watch = static_cast<TlsWatch*>(user);
  watch->shared->AddExtraCas(context);
  SSL_CTX_set_ex_data(context, Slot(), watch);
  SSL_CTX_set_client_cert_cb(context, &TlsWatch::ClientCertificateAsked);
  return CURLE_OK;
}

// The server asks for a client certificate: none is given.
int CurlRequest::TlsWatch::ClientCertificateAsked(SSL* ssl, X509**, EVP_PKEY**) {
  if (auto* watch = static_cast<TlsWatch*>(SSL_CTX_get_ex_data(SSL_get_SSL_CTX(ssl), Slot())))
    watch->clientCertificateAsked = true;
  return 0;
}

}  // namespace quon
