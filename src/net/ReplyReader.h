// The reply as the exchange reads it: counts the bytes, tells the wait that
// data arrived, and at the end holds the count against the length the
// server stated. A reply cut short is then a failure of the reading on
// every transport, whatever the transport made of it.
#pragma once
#include <cstdint>
#include <optional>
#include <stdexcept>

#include "net/HttpTransport.h"
#include "net/Wait.h"

namespace quon {

// A reply longer than the exchange reads.
class ReplyTooLarge : public std::runtime_error {
 public:
  ReplyTooLarge() : std::runtime_error("The server's reply is too large to be read.") {}
};

class ReplyReader final : public HttpRequest {
 public:
  // `display` (may be null) hears of every piece of data that arrives.
  ReplyReader(HttpRequest& request, ProgressDisplay* display)
      : m_request(request), m_display(display), m_stated(request.ContentLength()) {}

  void Send(std::string_view headers, std::string_view body) override { m_request.Send(headers, body); }
  uint32_t QueryStatusCode() override { return m_request.QueryStatusCode(); }
  std::optional<uint64_t> ContentLength() override { return m_stated; }
  uint32_t ProxyAuthDialog() override { return m_request.ProxyAuthDialog(); }
  void SetReadBufferSize(uint32_t bytes) override { m_request.SetReadBufferSize(bytes); }
  // Throws InternetException (connection aborted) when the reply ends short
  // of its stated length.
  size_t Read(void* buffer, size_t n) override;

 private:
  HttpRequest& m_request;
  ProgressDisplay* m_display;
  std::optional<uint64_t> m_stated;
  uint64_t m_received = 0;
};

}  // namespace quon
