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
#include <curl/curl.h>
#include <gio/gio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "platform/posix/CurlHttpClient.h"
#include "platform/posix/DesktopProxy.h"
#include "base/Trace.h"

namespace quon {
namespace {

constexpr int kPollMs = 100;
constexpr long kCurlBufferSize = 64 * 1024;
constexpr size_t kReceiveBuffer = 2 * kCurlBufferSize;
constexpr long kConnectTimeoutSeconds = 60;
constexpr char kRedirectFailed[] =
    "The redirection failed because either the scheme changed or all attempts made to redirect failed";

void GlobalInit() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

[[noreturn]] void ThrowSecureChannelError(uint32_t code) {
  throw InternetException(code, inet::SecureChannelErrorText(code));
}

// A server certificate that did not verify, by OpenSSL's verdict on it.
// libcurl checks the host name itself, after the handshake and before it
// takes OpenSSL's verdict on the chain: a failure whose verdict is "OK" or
// still the "unspecified" one libcurl starts with is a name that does not
// match.
uint32_t CertificateErrorCode(long verifyResult) {
  switch (verifyResult) {
    case X509_V_OK:
    case X509_V_ERR_UNSPECIFIED:
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
      return inet::kErrorSecCertCnInvalid;
    case X509_V_ERR_CERT_NOT_YET_VALID:
    case X509_V_ERR_CERT_HAS_EXPIRED:
      return inet::kErrorSecCertDateInvalid;
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
    case X509_V_ERR_INVALID_CA:
      return inet::kErrorInvalidCa;
    case X509_V_ERR_CERT_REVOKED:
      return inet::kErrorSecCertRevoked;
    default:
      return inet::kErrorSecInvalidCert;
  }
}

// The failures with which a TLS connection ends when the server demands a
// client certificate that was not given: a failed handshake (TLS 1.2), or
// a connection that the server ends after it (TLS 1.3, whose client has
// finished its part of the handshake before the server refuses).
bool EndsAClientCertificateDemand(CURLcode code) {
  switch (code) {
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CLIENTCERT:
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_GOT_NOTHING:
      return true;
    default:
      return false;
  }
}

// `clientCertificateAsked`: the server asked for a client certificate
// during the handshake (none is ever given).
[[noreturn]] void ThrowCurlError(CURLcode code, const char* detail, long verifyResult, bool clientCertificateAsked) {
  TraceMessage("http: transfer failed:", detail && *detail ? detail : curl_easy_strerror(code));
  if (clientCertificateAsked && EndsAClientCertificateDemand(code))
    ThrowSecureChannelError(inet::kErrorClientAuthCertNeeded);
  switch (code) {
    case CURLE_PEER_FAILED_VERIFICATION:
      ThrowSecureChannelError(CertificateErrorCode(verifyResult));
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ENGINE_NOTFOUND:
    case CURLE_SSL_ENGINE_SETFAILED:
    case CURLE_SSL_ENGINE_INITFAILED:
    case CURLE_SSL_SHUTDOWN_FAILED:
    case CURLE_SSL_CRL_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
    case CURLE_SSL_CLIENTCERT:
      ThrowSecureChannelError(inet::kErrorSecurityChannel);
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
      throw InternetException(inet::kErrorNameNotResolved, "The server name or address could not be resolved");
    case CURLE_COULDNT_CONNECT:
      throw InternetException(inet::kErrorCannotConnect, "A connection with the server could not be established");
    case CURLE_OPERATION_TIMEDOUT:
      throw InternetException(inet::kErrorTimeout, "The operation timed out");
    case CURLE_SEND_ERROR:
      throw InternetException(inet::kErrorConnectionAborted,
                              "The connection with the server was terminated abnormally");
    case CURLE_RECV_ERROR:
      throw InternetException(inet::kErrorConnectionReset, "The connection with the server was reset");
    case CURLE_GOT_NOTHING:
    case CURLE_WEIRD_SERVER_REPLY:
      throw InternetException(inet::kErrorInvalidServerResponse,
                              "The server returned an invalid or unrecognized response");
    case CURLE_URL_MALFORMAT:
      throw InternetException(inet::kErrorInvalidUrl, "The URL is invalid");
    case CURLE_UNSUPPORTED_PROTOCOL:
      throw InternetException(inet::kErrorUnrecognizedScheme, "The URL does not use a recognized protocol");
    case CURLE_OUT_OF_MEMORY:
      throw std::bad_alloc();
    default:
      throw InternetException(inet::kErrorInternalError, "An internal error occurred in the Internet functions");
  }
}

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

// The schemes a proxy offered in Proxy-Authenticate, as libcurl's bits.
unsigned long AuthSchemeBit(std::string_view value) {
  while (!value.empty() && value.front() == ' ') value.remove_prefix(1);
  auto starts = [&](std::string_view scheme) {
    return value.size() >= scheme.size() && strncasecmp(value.data(), scheme.data(), scheme.size()) == 0;
  };
  if (starts("Basic")) return CURLAUTH_BASIC;
  if (starts("Digest")) return CURLAUTH_DIGEST;
  if (starts("NTLM")) return CURLAUTH_NTLM;
  if (starts("Negotiate")) return CURLAUTH_NEGOTIATE;
  return 0;
}

// Credentials given at the proxy prompt, for the proxy they were given for.
struct ProxyCredentials {
  std::string proxy;  // without user information
  std::string user;
  std::string password;
  unsigned long schemes = 0;  // what the proxy offered; 0: unknown
};

}  // namespace

// What every session of one client shares for the client's whole life: the
// cookie store (in memory only), the proxy credentials and the extra
// certificate authorities.
struct CurlHttpClient::Shared {
  Shared(UserPrompts& prompts, GProxyResolver* resolver, std::string_view extraCaPem)
      : prompts(prompts), resolver(resolver) {
    ReadCertificates(extraCaPem);
    if (resolver) g_object_ref(resolver);
    share = curl_share_init();
    if (!share) throw std::bad_alloc();
    curl_share_setopt(share, CURLSHOPT_LOCKFUNC, &Shared::Lock);
    curl_share_setopt(share, CURLSHOPT_UNLOCKFUNC, &Shared::Unlock);
    curl_share_setopt(share, CURLSHOPT_USERDATA, this);
    curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_COOKIE);
  }
  ~Shared() {
    curl_share_cleanup(share);
    if (resolver) g_object_unref(resolver);
    for (X509* cert : extraCas) X509_free(cert);
  }

  // The PEM certificates, read once; text around and between them is
  // skipped, as in any PEM bundle.
  void ReadCertificates(std::string_view pem) {
    if (pem.empty()) return;
    BIO* bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
    if (!bio) throw std::bad_alloc();
    while (X509* cert = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr)) extraCas.push_back(cert);
    BIO_free(bio);
    ERR_clear_error();
  }

  // The extra authorities join the system's store that libcurl has loaded
  // into a connection's context.
  void AddExtraCas(SSL_CTX* context) const {
    X509_STORE* store = SSL_CTX_get_cert_store(context);
    for (X509* cert : extraCas) {
      // One already there (a connection reusing the store) stays as it is.
      if (X509_STORE_add_cert(store, cert) != 1) ERR_clear_error();
    }
  }

  static void Lock(CURL*, curl_lock_data data, curl_lock_access, void* user) {
    static_cast<Shared*>(user)->locks[data % CURL_LOCK_DATA_LAST].lock();
  }
  static void Unlock(CURL*, curl_lock_data data, void* user) {
    static_cast<Shared*>(user)->locks[data % CURL_LOCK_DATA_LAST].unlock();
  }

  void KeepCredentials(ProxyCredentials given) {
    std::lock_guard<std::mutex> lock(credentialsMutex);
    credentials = std::move(given);
  }
  bool CredentialsFor(const std::string& proxy, ProxyCredentials& out) {
    std::lock_guard<std::mutex> lock(credentialsMutex);
    if (credentials.user.empty() && credentials.password.empty()) return false;
    if (credentials.proxy != proxy) return false;
    out = credentials;
    return true;
  }

  UserPrompts& prompts;
  GProxyResolver* resolver;
  CURLSH* share = nullptr;
  std::vector<X509*> extraCas;
  std::mutex locks[CURL_LOCK_DATA_LAST];
  std::mutex credentialsMutex;
  ProxyCredentials credentials;
};

namespace {

using Shared = CurlHttpClient::Shared;

struct ConnectionState {
  std::string host;
  uint16_t port = 80;
  std::string agent;
  const CancelFlag* cancel = nullptr;
  std::shared_ptr<Shared> shared;
};

class CurlRequest : public HttpRequest {
 public:
  CurlRequest(const ConnectionState& connection, bool secure, std::string verb, std::string url)
      : m_connection(connection), m_secure(secure), m_verb(std::move(verb)), m_url(std::move(url)) {
    m_multi = curl_multi_init();
    m_easy = curl_easy_init();
    if (!m_multi || !m_easy) throw std::bad_alloc();
    m_buffer.resize(kReceiveBuffer);
  }

  ~CurlRequest() override {
    if (m_added) curl_multi_remove_handle(m_multi, m_easy);
    if (m_easy) curl_easy_cleanup(m_easy);
    if (m_multi) curl_multi_cleanup(m_multi);
    if (m_headers) curl_slist_free_all(m_headers);
  }

  void Send(std::string_view headers, std::string_view body) override {
    CheckCancel();
    std::string verb = m_verb;
    std::string url = m_url;
    m_body.assign(body.data(), body.size());
    for (int redirects = 0;; ++redirects) {
      StartTransfer(verb, url, headers);
      // Like HttpSendRequest: return once the reply's status and headers
      // are in. A reply cut short is left to the reader to find.
      while (!m_headersDone && !m_done) Pump();
      if (m_done && Failed() && Buffered() == 0) ThrowFailure();

      const uint32_t status = QueryStatusCode();
      if (!redirect::IsFollowed(status) || !m_location) return;
      char* next = nullptr;
      curl_easy_getinfo(m_easy, CURLINFO_REDIRECT_URL, &next);
      const std::string scheme = m_secure ? "https://" : "http://";
      if (redirects == redirect::kMaxRedirects || !next || std::strncmp(next, scheme.c_str(), scheme.size()) != 0) {
        TraceMessage("http: redirect not followed:", next ? next : "(unusable location)");
        throw InternetException(inet::kErrorRedirectFailed, kRedirectFailed);
      }
      TraceMessage("http: redirected to", next);
      url = next;
      if (!redirect::KeepsVerb(status)) {
        verb = "GET";
        m_body.clear();
      }
    }
  }

  uint32_t QueryStatusCode() override {
    long code = 0;
    if (m_easy) curl_easy_getinfo(m_easy, CURLINFO_RESPONSE_CODE, &code);
    if (code == 0) code = m_status;
    return static_cast<uint32_t>(code);
  }

  std::optional<uint64_t> ContentLength() override {
    curl_off_t length = -1;
    if (curl_easy_getinfo(m_easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) != CURLE_OK || length < 0)
      return std::nullopt;
    return static_cast<uint64_t>(length);
  }

  uint32_t ProxyAuthDialog() override {
    CheckCancel();
    std::string user;
    std::string password;
    if (!m_connection.shared->prompts.PromptProxyCredentials(m_proxyName, user, password))
      return inet::kErrorCancelled;
    CheckCancel();
    m_connection.shared->KeepCredentials({m_proxyName, user, password, m_offeredSchemes});
    return inet::kErrorForceRetry;
  }

  void SetReadBufferSize(uint32_t) override {
    // The transfer's buffer is fixed when the request is sent; reads of any
    // size are served from it.
  }

  size_t Read(void* buffer, size_t n) override {
    if (n == 0) return 0;
    for (;;) {
      size_t available = Buffered();
      if (available > 0) {
        size_t take = available < n ? available : n;
        std::memcpy(buffer, m_buffer.data() + m_head, take);
        m_head += take;
        if (m_head == m_tail) m_head = m_tail = 0;
        return take;
      }
      if (m_done) {
        if (Failed()) ThrowFailure();
        return 0;
      }
      if (!m_added) return 0;
      Pump();
    }
  }

 private:
  size_t Buffered() const { return m_tail - m_head; }
  // The end of a reply shorter than its Content-Length is an end like any
  // other here; the exchange compares the length itself.
  bool Failed() const { return m_result != CURLE_OK && m_result != CURLE_PARTIAL_FILE; }
  [[noreturn]] void ThrowFailure() {
    long verifyResult = X509_V_OK;
    curl_easy_getinfo(m_easy, CURLINFO_SSL_VERIFYRESULT, &verifyResult);
    ThrowCurlError(m_result, m_errorText, verifyResult, m_tls.clientCertificateAsked);
  }

  void CheckCancel() const {
    if (m_connection.cancel && m_connection.cancel->IsCancelled()) throw CancelledException();
  }

  void Reset() {
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
  void StartTransfer(const std::string& verb, const std::string& url, std::string_view headers) {
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

    // The desktop's proxy for this URL decides; without one, libcurl goes
    // by the environment. Credentials given at the prompt go with every
    // later request to that proxy, in place of any the setting carries; for
    // a proxy that takes Basic they go with the first request, so the proxy
    // sees no unauthenticated request first.
    const std::string desktop = DesktopProxyFor(m_connection.shared->resolver, url, m_connection.cancel);
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

    if (curl_multi_add_handle(m_multi, m_easy) != CURLM_OK) throw std::bad_alloc();
    m_added = true;
  }

  // The server's certificate must verify and name the host; the system's
  // store is libcurl's default, the extra authorities are added to it. The
  // context also hears of a server asking for a client certificate, so that
  // a failure that follows is told as that (12044), as WinINet tells it.
  void SetUpVerification() {
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

  // What a request's TLS connections tell it.
  struct TlsWatch {
    Shared* shared = nullptr;
    bool clientCertificateAsked = false;

    // The context's slot that points to the watch of its request.
    static int Slot() {
      static const int slot = SSL_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
      return slot;
    }
    // CURLOPT_SSL_CTX_FUNCTION, for each connection of the request.
    static CURLcode SetUpContext(CURL*, void* sslContext, void* user) {
      auto* context = static_cast<SSL_CTX*>(sslContext);
      auto* watch = static_cast<TlsWatch*>(user);
      watch->shared->AddExtraCas(context);
      SSL_CTX_set_ex_data(context, Slot(), watch);
      SSL_CTX_set_client_cert_cb(context, &TlsWatch::ClientCertificateAsked);
      return CURLE_OK;
    }
    // The server asks for a client certificate: none is given.
    static int ClientCertificateAsked(SSL* ssl, X509**, EVP_PKEY**) {
      if (auto* watch = static_cast<TlsWatch*>(SSL_CTX_get_ex_data(SSL_get_SSL_CTX(ssl), Slot())))
        watch->clientCertificateAsked = true;
      return 0;
    }
  };

  // One step of the transfer: resume when there is room, let libcurl work,
  // and wait up to 100 ms for the socket when that gave nothing.
  void Pump() {
    CheckCancel();
    const size_t before = m_tail;
    const bool headersBefore = m_headersDone;
    if (m_paused && Buffered() == 0) {
      m_paused = false;
      curl_easy_pause(m_easy, CURLPAUSE_CONT);  // may deliver data at once
    }
    int running = 0;
    CURLMcode mc = curl_multi_perform(m_multi, &running);
    if (mc != CURLM_OK) {
      m_done = true;
      m_result = CURLE_OUT_OF_MEMORY;
      return;
    }
    int queued = 0;
    while (CURLMsg* msg = curl_multi_info_read(m_multi, &queued)) {
      if (msg->msg == CURLMSG_DONE && msg->easy_handle == m_easy) {
        m_done = true;
        m_result = msg->data.result;
      }
    }
    // Something arrived: let the caller take it. Otherwise wait for the
    // socket (or the next timeout of libcurl), never spinning.
    if (m_done || m_tail != before || m_headersDone != headersBefore || m_paused) return;
    curl_multi_poll(m_multi, nullptr, 0, kPollMs, nullptr);
  }

  static size_t OnHeader(char* data, size_t size, size_t count, void* user) {
    auto* self = static_cast<CurlRequest*>(user);
    size_t length = size * count;
    std::string_view line(data, length);
    auto named = [&](std::string_view name) {
      return line.size() > name.size() && strncasecmp(line.data(), name.data(), name.size()) == 0;
    };
    if (line.substr(0, 5) == "HTTP/") {
      size_t space = line.find(' ');
      self->m_status = space == std::string_view::npos ? 0 : std::atol(std::string(line.substr(space + 1, 3)).c_str());
      self->m_location = false;
      self->m_offeredSchemes = 0;
    } else if (named("Location:")) {
      self->m_location = true;
    } else if (named("Proxy-Authenticate:")) {
      self->m_offeredSchemes |= AuthSchemeBit(line.substr(19));
    } else if (line == "\r\n" || line == "\n") {
      // The end of one reply's headers. An interim 1xx reply is followed by
      // the real one; a 407 while credentials are offered may be answered
      // by libcurl itself with a second request, so wait for data then.
      bool interim = self->m_status >= 100 && self->m_status < 200;
      bool mayRetry = self->m_status == 407 && self->m_credentialsSent;
      if (!interim && !mayRetry) self->m_headersDone = true;
    }
    return length;
  }

  static size_t OnData(char* data, size_t size, size_t count, void* user) {
    auto* self = static_cast<CurlRequest*>(user);
    size_t length = size * count;
    if (length == 0) return 0;
    if (self->m_head > 0 && self->m_tail + length > self->m_buffer.size()) {
      std::memmove(self->m_buffer.data(), self->m_buffer.data() + self->m_head, self->Buffered());
      self->m_tail -= self->m_head;
      self->m_head = 0;
    }
    if (self->m_tail + length > self->m_buffer.size()) {
      if (self->Buffered() > 0) {
        self->m_paused = true;
        return CURL_WRITEFUNC_PAUSE;
      }
      self->m_buffer.resize(length);
    }
    std::memcpy(self->m_buffer.data() + self->m_tail, data, length);
    self->m_tail += length;
    self->m_headersDone = true;
    return length;
  }

  const ConnectionState& m_connection;
  bool m_secure;
  TlsWatch m_tls;
  std::string m_verb;
  std::string m_url;
  std::string m_body;
  std::string m_proxyName;
  CURLM* m_multi = nullptr;
  CURL* m_easy = nullptr;
  curl_slist* m_headers = nullptr;
  bool m_added = false;

  std::vector<char> m_buffer;
  size_t m_head = 0;
  size_t m_tail = 0;
  bool m_paused = false;
  bool m_done = false;
  bool m_headersDone = false;
  bool m_location = false;          // the reply names a Location
  bool m_credentialsSent = false;
  unsigned long m_offeredSchemes = 0;
  CURLcode m_result = CURLE_OK;
  long m_status = 0;
  char m_errorText[CURL_ERROR_SIZE] = {};
};

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

CurlHttpClient::CurlHttpClient(UserPrompts& prompts, GProxyResolver* resolver, std::string_view extraCaPem) {
  GlobalInit();
  m_shared = std::make_shared<Shared>(prompts, resolver, extraCaPem);
}

CurlHttpClient::~CurlHttpClient() = default;

std::unique_ptr<HttpSession> CurlHttpClient::OpenSession(std::string_view agent, const CancelFlag* cancel) {
  GlobalInit();
  return std::make_unique<CurlSession>(std::string(agent), cancel, m_shared);
}

}  // namespace quon
