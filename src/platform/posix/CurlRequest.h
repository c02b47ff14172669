// One request of the libcurl transport: one easy handle driven by its own
// multi handle, so that reads are pull-style (see CurlHttpClient.cpp). Setting
// up a transfer (options, proxy, TLS) is in CurlTransfer.cpp, running it
// (sending, redirects, reading) in CurlRequest.cpp.
#pragma once
#include <curl/curl.h>
#include <openssl/ssl.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "net/HttpTransport.h"
#include "platform/posix/CurlShared.h"

namespace quon {

constexpr long kCurlBufferSize = 64 * 1024;

struct ConnectionState {
  std::string host;
  uint16_t port = 80;
  std::string agent;
  const CancelFlag* cancel = nullptr;
  std::shared_ptr<CurlHttpClient::Shared> shared;
};

class CurlRequest : public HttpRequest {
 public:
  CurlRequest(const ConnectionState& connection, bool secure, std::string verb, std::string url);
  ~CurlRequest() override;

  void Send(std::string_view headers, std::string_view body) override;
  uint32_t QueryStatusCode() override;
  std::optional<uint64_t> ContentLength() override;
  uint32_t ProxyAuthDialog() override;
  void SetReadBufferSize(uint32_t) override {
    // The transfer's buffer is fixed when the request is sent; reads of any
    // size are served from it.
  }
  size_t Read(void* buffer, size_t n) override;

 private:
  using Shared = CurlHttpClient::Shared;

  // What a request's TLS connections tell it.
  struct TlsWatch {
    Shared* shared = nullptr;
    bool clientCertificateAsked = false;

    static int Slot();
    static CURLcode SetUpContext(CURL*, void* sslContext, void* user);
    static int ClientCertificateAsked(SSL* ssl, X509**, EVP_PKEY**);
  };

  size_t Buffered() const { return m_tail - m_head; }
  // The end of a reply shorter than its Content-Length is an end like any
  // other here; the exchange compares the length itself.
  bool Failed() const { return m_result != CURLE_OK && m_result != CURLE_PARTIAL_FILE; }
  [[noreturn]] void ThrowFailure();

  void CheckCancel() const {
    if (m_connection.cancel && m_connection.cancel->IsCancelled()) throw CancelledException();
  }

  void Reset();
  void StartTransfer(const std::string& verb, const std::string& url, std::string_view headers);
  void SetUpVerification();

  void Pump();
  static size_t OnHeader(char* data, size_t size, size_t count, void* user);
  static size_t OnData(char* data, size_t size, size_t count, void* user);

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

}  // namespace quon
