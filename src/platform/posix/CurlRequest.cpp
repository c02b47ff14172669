#include "platform/posix/CurlRequest.h"

#include <openssl/x509_vfy.h>

#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "base/Trace.h"
#include "platform/posix/CurlErrors.h"

namespace quon {
namespace {

constexpr int kPollMs = 100;
constexpr size_t kReceiveBuffer = 2 * kCurlBufferSize;
constexpr char kRedirectFailed[] =
    "The redirection failed because either the scheme changed or all attempts made to redirect failed";

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

}  // namespace

CurlRequest::CurlRequest(const ConnectionState& connection, bool secure, std::string verb, std::string url)
    : m_connection(connection), m_secure(secure), m_verb(std::move(verb)), m_url(std::move(url)) {
  m_multi = curl_multi_init();
  m_easy = curl_easy_init();
  if (!m_multi || !m_easy) throw std::bad_alloc();
  m_buffer.resize(kReceiveBuffer);
}

CurlRequest::~CurlRequest() {
  if (m_added) curl_multi_remove_handle(m_multi, m_easy);
  if (m_easy) curl_easy_cleanup(m_easy);
  if (m_multi) curl_multi_cleanup(m_multi);
  if (m_headers) curl_slist_free_all(m_headers);
}

void CurlRequest::Send(std::string_view headers, std::string_view body) {
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

uint32_t CurlRequest::QueryStatusCode() {
  long code = 0;
  if (m_easy) curl_easy_getinfo(m_easy, CURLINFO_RESPONSE_CODE, &code);
  if (code == 0) code = m_status;
  return static_cast<uint32_t>(code);
}

std::optional<uint64_t> CurlRequest::ContentLength() {
  curl_off_t length = -1;
  if (curl_easy_getinfo(m_easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) != CURLE_OK || length < 0)
    return std::nullopt;
  return static_cast<uint64_t>(length);
}

uint32_t CurlRequest::ProxyAuthDialog() {
  CheckCancel();
  std::string user;
  std::string password;
  if (!m_connection.shared->prompts.PromptProxyCredentials(m_proxyName, user, password)) return inet::kErrorCancelled;
  CheckCancel();
  m_connection.shared->KeepCredentials({m_proxyName, user, password, m_offeredSchemes});
  return inet::kErrorForceRetry;
}

size_t CurlRequest::Read(void* buffer, size_t n) {
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

void CurlRequest::ThrowFailure() {
  long verifyResult = X509_V_OK;
  curl_easy_getinfo(m_easy, CURLINFO_SSL_VERIFYRESULT, &verifyResult);
  ThrowCurlError(m_result, m_errorText, verifyResult, m_tls.clientCertificateAsked);
}

// One step of the transfer: resume when there is room, let libcurl work,
// and wait up to 100 ms for the socket when that gave nothing.
void CurlRequest::Pump() {
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

size_t CurlRequest::OnHeader(char* data, size_t size, size_t count, void* user) {
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

size_t CurlRequest::OnData(char* data, size_t size, size_t count, void* user) {
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

}  // namespace quon
