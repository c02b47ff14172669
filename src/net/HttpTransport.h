// The small HTTP interface the exchange and the download are written
// against. It follows the steps of one exchange: open a session, connect,
// open a request, send, query the status, offer the proxy prompt, read,
// close (by destruction, innermost first). Linux implements it on libcurl
// (platform/posix/CurlHttpClient.cpp), Windows on WinINet
// (platform/win/WinInetHttpClient.cpp).
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace quon {

// The Internet exception: a transport failure with the platform's error code
// (WinINet's ERROR_INTERNET_* numbers on both platforms) and its text.
class InternetException : public std::runtime_error {
 public:
  InternetException(uint32_t code, const std::string& message) : std::runtime_error(message), m_code(code) {}
  uint32_t Code() const { return m_code; }

 private:
  uint32_t m_code;
};

// Thrown by a transport whose call was cancelled: the caller abandoned the
// worker, nothing more may reach it.
class CancelledException : public std::runtime_error {
 public:
  CancelledException() : std::runtime_error("cancelled") {}
};

// Set by the wait dialog when it abandons a worker; the transport checks it
// between steps and inside every blocking wait. Its gate makes "nothing
// happens after the abandonment" exact: Cancel() waits for a step running
// under RunUnlessCancelled to finish, and no such step starts afterwards.
class CancelFlag {
 public:
  void Cancel() {
    std::lock_guard<std::mutex> lock(m_gate);
    m_cancelled.store(true, std::memory_order_release);
  }
  // True once abandoned, and while the current attempt of a download is
  // cut (see Cut): every step and blocking wait stops at either.
  bool IsCancelled() const {
    return m_cancelled.load(std::memory_order_acquire) || m_cut.load(std::memory_order_acquire);
  }
  bool IsAbandoned() const { return m_cancelled.load(std::memory_order_acquire); }
  // Ends the current attempt of a download only (the command line's stall
  // rule): the transport stops as for an abandonment, the download takes
  // the cut back (TakeCut) and may try again.
  void Cut() { m_cut.store(true, std::memory_order_release); }
  bool TakeCut() const { return m_cut.exchange(false, std::memory_order_acq_rel); }
  // Runs step() unless cancelled; false when it did not run. Keep the step
  // short (one block written to a file): Cancel() waits for it.
  template <class Step>
  bool RunUnlessCancelled(Step&& step) const {
    std::lock_guard<std::mutex> lock(m_gate);
    if (IsCancelled()) return false;
    step();
    return true;
  }

 private:
  mutable std::mutex m_gate;
  std::atomic<bool> m_cancelled{false};
  mutable std::atomic<bool> m_cut{false};  // taken back by the download it cut
};

// WinINet values that the exchange uses by name on every platform.
namespace inet {
constexpr uint32_t kFlagReload = 0x80000000;           // INTERNET_FLAG_RELOAD
constexpr uint32_t kFlagNoCacheWrite = 0x04000000;     // INTERNET_FLAG_NO_CACHE_WRITE
constexpr uint32_t kFlagKeepConnection = 0x00400000;   // INTERNET_FLAG_KEEP_CONNECTION
constexpr uint32_t kFlagSecure = 0x00800000;           // INTERNET_FLAG_SECURE: HTTPS
constexpr uint32_t kStatusProxyAuthReq = 407;          // HTTP_STATUS_PROXY_AUTH_REQ
constexpr uint32_t kErrorIncorrectPassword = 12014;    // ERROR_INTERNET_INCORRECT_PASSWORD
constexpr uint32_t kErrorForceRetry = 12032;           // ERROR_INTERNET_FORCE_RETRY
constexpr uint32_t kErrorTimeout = 12002;              // ERROR_INTERNET_TIMEOUT
constexpr uint32_t kErrorNameNotResolved = 12007;      // ERROR_INTERNET_NAME_NOT_RESOLVED
constexpr uint32_t kErrorCannotConnect = 12029;        // ERROR_INTERNET_CANNOT_CONNECT
constexpr uint32_t kErrorConnectionAborted = 12030;    // ERROR_INTERNET_CONNECTION_ABORTED
constexpr uint32_t kErrorConnectionReset = 12031;      // ERROR_INTERNET_CONNECTION_RESET
constexpr uint32_t kErrorOperationCancelled = 12017;   // ERROR_INTERNET_OPERATION_CANCELLED
constexpr uint32_t kErrorInternalError = 12004;        // ERROR_INTERNET_INTERNAL_ERROR
constexpr uint32_t kErrorInvalidUrl = 12005;           // ERROR_INTERNET_INVALID_URL
constexpr uint32_t kErrorUnrecognizedScheme = 12006;   // ERROR_INTERNET_UNRECOGNIZED_SCHEME
constexpr uint32_t kErrorInvalidServerResponse = 12152;  // ERROR_HTTP_INVALID_SERVER_RESPONSE
constexpr uint32_t kErrorRedirectFailed = 12156;       // ERROR_HTTP_REDIRECT_FAILED
constexpr uint32_t kErrorCancelled = 1223;             // ERROR_CANCELLED (prompt dismissed)
// The secure channel: the server's certificate did not verify, or no TLS
// connection could be made. Never ignored, never put to the user as a
// question.
constexpr uint32_t kErrorSecCertDateInvalid = 12037;   // ERROR_INTERNET_SEC_CERT_DATE_INVALID
constexpr uint32_t kErrorSecCertCnInvalid = 12038;     // ERROR_INTERNET_SEC_CERT_CN_INVALID
constexpr uint32_t kErrorClientAuthCertNeeded = 12044;  // ERROR_INTERNET_CLIENT_AUTH_CERT_NEEDED
constexpr uint32_t kErrorInvalidCa = 12045;            // ERROR_INTERNET_INVALID_CA
constexpr uint32_t kErrorSecCertRevFailed = 12057;     // ERROR_INTERNET_SEC_CERT_REV_FAILED
constexpr uint32_t kErrorSecurityChannel = 12157;      // ERROR_INTERNET_SECURITY_CHANNEL_ERROR
constexpr uint32_t kErrorSecInvalidCert = 12169;       // ERROR_INTERNET_SEC_INVALID_CERT
constexpr uint32_t kErrorSecCertRevoked = 12170;       // ERROR_INTERNET_SEC_CERT_REVOKED

// The sentence for a secure-channel error code (WinINet's wording); null
// for any other code.
constexpr const char* SecureChannelErrorText(uint32_t code) {
  switch (code) {
    case kErrorSecCertDateInvalid: return "The date in the certificate is invalid or has expired";
    case kErrorSecCertCnInvalid: return "The host name in the certificate is invalid or does not match";
    case kErrorClientAuthCertNeeded: return "The server requests client authentication";
    case kErrorInvalidCa: return "The certificate authority is invalid or incorrect";
    case kErrorSecCertRevFailed: return "The revocation of the certificate could not be checked";
    case kErrorSecurityChannel: return "An error occurred in the secure channel support";
    case kErrorSecInvalidCert: return "The SSL certificate is invalid";
    case kErrorSecCertRevoked: return "The SSL certificate has been revoked";
    default: return nullptr;
  }
}
constexpr bool IsSecureChannelError(uint32_t code) { return SecureChannelErrorText(code) != nullptr; }
}  // namespace inet

// Redirects are followed inside Send, the same way by every transport:
// 301, 302 and 303 turn the request into a GET without a body, 307 and 308
// keep verb and body; the headers go with every request. One redirect more
// than kMaxRedirects in a row, or one to another scheme than the request's
// own (http for a plain request, https for one with inet::kFlagSecure),
// fails the send with inet::kErrorRedirectFailed: an HTTPS request never
// goes on in plain text, and a plain one never to a server whose
// certificate the build did not mean to check.
namespace redirect {
constexpr int kMaxRedirects = 5;
constexpr bool IsFollowed(uint32_t status) {
  return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}
constexpr bool KeepsVerb(uint32_t status) { return status == 307 || status == 308; }
}  // namespace redirect

class HttpRequest {
 public:
  virtual ~HttpRequest() = default;
  // Sends headers (one or more "Name: value" lines, no final line end) and
  // the body, following redirects (see above); returns once the final
  // reply's status and headers are in. Throws InternetException when the
  // transport fails.
  virtual void Send(std::string_view headers, std::string_view body) = 0;
  // The reply's HTTP status code (HTTP_QUERY_STATUS_CODE).
  virtual uint32_t QueryStatusCode() = 0;
  // The reply's stated length (HTTP_QUERY_CONTENT_LENGTH), or none when it
  // states none that can be used. Transports end a reply that stops short
  // of it like any other (Read returns 0); the exchange compares.
  virtual std::optional<uint64_t> ContentLength() = 0;
  // The proxy-authentication prompt for this request (InternetErrorDlg for
  // ERROR_INTERNET_INCORRECT_PASSWORD). Returns inet::kErrorForceRetry when
  // the user gave credentials and the request is to be sent again, another
  // value (inet::kErrorCancelled) when the user dismissed the prompt. The
  // credentials then serve the rest of the run.
  virtual uint32_t ProxyAuthDialog() = 0;
  // The read buffer size of the request (INTERNET_OPTION_READ_BUFFER_SIZE).
  virtual void SetReadBufferSize(uint32_t bytes) = 0;
  // Reads up to n bytes of the reply body; 0 at its end. Throws
  // InternetException on a transport failure.
  virtual size_t Read(void* buffer, size_t n) = 0;
};

class HttpConnection {
 public:
  virtual ~HttpConnection() = default;
  // Null when no request can be opened. `flags` are WinINet's request
  // flags; inet::kFlagSecure makes it an HTTPS request, whose server
  // certificate must verify.
  virtual std::unique_ptr<HttpRequest> OpenRequest(std::string_view verb, std::string_view path,
                                                   std::string_view version, uint32_t flags) = 0;
};

class HttpSession {
 public:
  virtual ~HttpSession() = default;
  // Null when no connection object can be made (a failure to reach the host
  // surfaces later, from Send, as an InternetException).
  virtual std::unique_ptr<HttpConnection> Connect(std::string_view host, uint16_t port) = 0;
};

// The proxy every request takes: the system's (the desktop's settings on
// Linux, the system's on Windows), none, or one the administrator names.
struct ProxySetting {
  enum class Kind { System, Direct, Fixed };
  Kind kind = Kind::System;
  std::string host;  // Fixed: an http proxy
  uint16_t port = 0;
};

// The platform's factory. The cancel flag comes with the session, so that
// every step below can honour it; an implementation gets the user prompts
// (for proxy credentials) when it is constructed.
class HttpClient {
 public:
  virtual ~HttpClient() = default;
  // Opens a session with the given user agent and the system's proxy
  // settings; null when that fails.
  virtual std::unique_ptr<HttpSession> OpenSession(std::string_view agent, const CancelFlag* cancel) = 0;
};

}  // namespace quon
