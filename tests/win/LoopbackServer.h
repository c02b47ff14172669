// A scripted HTTP server on 127.0.0.1 (Winsock), for transport faults the
// reference server does not produce: each connection's request is recorded
// and answered with whatever the handler returns (raw bytes), or held open
// without an answer.
#pragma once
#include <winsock2.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace quon::wintest {

struct HttpRequestSeen {
  std::string requestLine;
  std::string headers;  // as received, without the request line
  std::string body;
};

class LoopbackServer {
 public:
  // Returns the raw reply; an empty reply closes the connection without
  // one. `hang` makes the server keep the connection open after sending
  // the reply (if any) until it is stopped or ReleaseHeld is called.
  using Handler = std::function<std::string(const HttpRequestSeen&, bool& hang)>;

  explicit LoopbackServer(Handler handler);
  ~LoopbackServer();
  uint16_t Port() const { return m_port; }
  // Lets the held connections go (closed without an answer).
  void ReleaseHeld();
  std::vector<HttpRequestSeen> Requests() const;

  // A port on 127.0.0.1 with nothing listening.
  static uint16_t UnusedPort();
  // "HTTP/1.0 <status>" reply with the body and its length.
  static std::string Reply(int status, const std::string& body, const std::string& extraHeaders = "");

 private:
  void Serve();
  void Handle(SOCKET client);

  Handler m_handler;
  SOCKET m_listen = INVALID_SOCKET;
  uint16_t m_port = 0;
  std::atomic<bool> m_stop{false};
  std::atomic<bool> m_release{false};
  std::thread m_thread;
  mutable std::mutex m_mutex;
  std::condition_variable m_stopped;
  std::vector<HttpRequestSeen> m_requests;
  std::vector<std::thread> m_clients;
};

}  // namespace quon::wintest
