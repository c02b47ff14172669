#include "LoopbackServer.h"

#include <ws2tcpip.h>

#include <chrono>

#include <cstdlib>
#include <cstring>

namespace quon::wintest {

namespace {
struct WinsockInit {
  WinsockInit() {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
  }
};
void EnsureWinsock() { static WinsockInit init; }

SOCKET ListenLoopback(uint16_t& port) {
  EnsureWinsock();
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  int len = sizeof addr;
  getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len);
  port = ntohs(addr.sin_port);
  return s;
}
}  // namespace

LoopbackServer::LoopbackServer(Handler handler) : m_handler(std::move(handler)) {
  m_listen = ListenLoopback(m_port);
  listen(m_listen, 16);
  m_thread = std::thread([this] { Serve(); });
}

LoopbackServer::~LoopbackServer() {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_stop = true;
  }
  m_stopped.notify_all();
  closesocket(m_listen);
  m_thread.join();
  for (auto& t : m_clients) t.join();
}

void LoopbackServer::ReleaseHeld() {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_release = true;
  }
  m_stopped.notify_all();
}

std::vector<HttpRequestSeen> LoopbackServer::Requests() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_requests;
}

uint16_t LoopbackServer::UnusedPort() {
  uint16_t port = 0;
  SOCKET s = ListenLoopback(port);
  closesocket(s);
  return port;
}

std::string LoopbackServer::Reply(int status, const std::string& body, const std::string& extraHeaders) {
  return "HTTP/1.0 " + std::to_string(status) + " Status\r\nContent-Type: text/plain\r\nContent-Length: " +
         std::to_string(body.size()) + "\r\n" + extraHeaders + "Connection: close\r\n\r\n" + body;
}

void LoopbackServer::Serve() {
  while (!m_stop) {
    SOCKET client = accept(m_listen, nullptr, nullptr);
    if (client == INVALID_SOCKET) break;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_clients.emplace_back([this, client] { Handle(client); });
  }
}

void LoopbackServer::Handle(SOCKET client) {
  std::string data;
  char buffer[4096];
  size_t headerEnd = std::string::npos;
  size_t contentLength = 0;
  while (true) {
    if (headerEnd != std::string::npos && data.size() >= headerEnd + 4 + contentLength) break;
    int n = recv(client, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    data.append(buffer, static_cast<size_t>(n));
    if (headerEnd == std::string::npos && (headerEnd = data.find("\r\n\r\n")) != std::string::npos) {
      std::string lower = data.substr(0, headerEnd);
      for (auto& c : lower) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
      size_t at = lower.find("content-length:");
      if (at != std::string::npos) contentLength = std::strtoul(lower.c_str() + at + 15, nullptr, 10);
    }
  }
  HttpRequestSeen seen;
  if (headerEnd != std::string::npos) {
    size_t lineEnd = data.find("\r\n");
    seen.requestLine = data.substr(0, lineEnd);
    seen.headers = data.substr(lineEnd + 2, headerEnd - lineEnd - 2);
    seen.body = data.substr(headerEnd + 4);
  }
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_requests.push_back(seen);
  }
  bool hang = false;
  std::string reply = m_handler(seen, hang);
  size_t sent = 0;
  while (sent < reply.size()) {
    int n = send(client, reply.data() + sent, static_cast<int>(reply.size() - sent), 0);
    if (n <= 0) break;
    sent += static_cast<size_t>(n);
  }
  if (hang) {
    std::unique_lock<std::mutex> lock(m_mutex);
    // Sliced wait: winpthreads under Wine can lose a wake-up.
    while (!m_stopped.wait_for(lock, std::chrono::milliseconds(20),
                               [this] { return m_stop.load() || m_release.load(); })) {
    }
  }
  shutdown(client, SD_BOTH);
  closesocket(client);
}

}  // namespace quon::wintest
