// A scriptable HTTP server for tests (POSIX sockets or Winsock) at
// 127.0.0.1 with a port of its own. Each connection's request is read whole (headers and a
// Content-Length body) and recorded; then the test's handler writes what it
// likes: a proper reply, a broken one, nothing, or data without end.
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "support/Sockets.h"

namespace quon::test {

struct ReceivedRequest {
  std::string requestLine;  // "POST /path?query HTTP/1.0"
  std::string headers;      // header lines after the request line, CRLF-separated
  std::string body;
  // The value of a header (case-insensitive name), or empty.
  std::string Header(std::string_view name) const;
};

class FaultConnection {
 public:
  FaultConnection(sockets::Handle fd, const std::atomic<bool>& stopping) : m_fd(fd), m_stopping(stopping) {}
  // Writes all bytes; false once the peer is gone or the server stops.
  bool Send(std::string_view bytes);
  // Waits until the peer closes or the server stops (a server that hangs;
  // Stop() lets it go).
  void Hang();
  // Closes the connection with a reset instead of an orderly end.
  void Reset();
  bool Stopping() const { return m_stopping.load(); }

 private:
  sockets::Handle m_fd;
  const std::atomic<bool>& m_stopping;
  bool m_reset = false;
  friend class FaultServer;
};

class FaultServer {
 public:
  using Handler = std::function<void(const ReceivedRequest&, FaultConnection&)>;
  explicit FaultServer(Handler handler);
  ~FaultServer();
  FaultServer(const FaultServer&) = delete;
  FaultServer& operator=(const FaultServer&) = delete;

  uint16_t Port() const { return m_port; }
  std::vector<ReceivedRequest> Requests() const;
  void Stop();

 private:
  void AcceptLoop();
  void Serve(sockets::Handle fd);

  Handler m_handler;
  sockets::Handle m_listen = sockets::kInvalid;
  uint16_t m_port = 0;
  std::atomic<bool> m_stopping{false};
  std::thread m_acceptor;
  mutable std::mutex m_mutex;
  std::vector<std::thread> m_connections;
  std::vector<ReceivedRequest> m_requests;
};

// A handler that answers every request with the same bytes.
FaultServer::Handler Answer(std::string reply);

// A complete HTTP/1.0 reply with a Content-Length.
std::string HttpReply(int status, std::string_view body, std::string_view extraHeaders = {});
// Only the status line and headers of a reply, without Content-Length.
std::string HttpHead(int status, std::string_view extraHeaders = {});
// The file reply's body: "BytesCount", the length, the header text, data.
std::string FileReplyBody(std::string_view headerText, std::string_view data);

// A free TCP port on 127.0.0.1 at the moment of the call.
uint16_t FreePort();

}  // namespace quon::test
