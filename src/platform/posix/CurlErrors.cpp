#include "platform/posix/CurlErrors.h"

#include <openssl/x509_vfy.h>

#include <new>

#include "base/Trace.h"
#include "net/HttpTransport.h"

namespace quon {

[[noreturn]] void ThrowSecureChannelError(uint32_t code) {
  throw InternetException(code, inet::SecureChannelErrorText(code));
}

namespace {

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

}  // namespace

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

}  // namespace quon
