#include "FaultServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <strings.h>

namespace quon::test {

std::string ReceivedRequest::Header(std::string_view name) const {
  size_t start = 0;
  while (start < headers.size()) {
    size_t end = headers.find("\r\n", start);
    if (end == std::string::npos) end = headers.size();
    std::string_view line(headers.data() + start, end - start);
    size_t colon = line.find(':');
    if (colon == name.size() && strncasecmp(line.data(), name.data(), name.size()) == 0) {
      std::string_view value = line.substr(colon + 1);
      while (!value.empty() && value.front() == ' ') value.remove_prefix(1);
      return std::string(value);
    }
    start = end + 2;
  }
  return {};
}

bool FaultConnection::Send(std::string_view bytes) {
  while (!bytes.empty()) {
    if (m_stopping.load()) return false;
    pollfd p{m_fd, POLLOUT, 0};
    int ready = poll(&p, 1, 50);
    if (ready < 0 && errno != EINTR) return false;
    if (ready <= 0) continue;
    ssize_t n = send(m_fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

void FaultConnection::Hang() {
  char buffer[256];
  while (!m_stopping.load()) {
    pollfd p{m_fd, POLLIN, 0};
    int ready = poll(&p, 1, 50);
    if (ready > 0) {
      ssize_t n = recv(m_fd, buffer, sizeof buffer, 0);
      if (n <= 0) return;  // the peer went away
    }
  }
}

void FaultConnection::Reset() {
  linger l{1, 0};
  setsockopt(m_fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
  m_reset = true;
}

FaultServer::FaultServer(Handler handler) : m_handler(std::move(handler)) {
  m_listen = socket(AF_INET, SOCK_STREAM, 0);
  if (m_listen < 0) throw std::runtime_error("socket");
  int one = 1;
  setsockopt(m_listen, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  if (bind(m_listen, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(m_listen, 16) != 0)
    throw std::runtime_error("bind/listen");
  socklen_t len = sizeof addr;
  getsockname(m_listen, reinterpret_cast<sockaddr*>(&addr), &len);
  m_port = ntohs(addr.sin_port);
  m_acceptor = std::thread([this] { AcceptLoop(); });
}

FaultServer::~FaultServer() { Stop(); }

void FaultServer::Stop() {
  if (m_stopping.exchange(true)) return;
  if (m_acceptor.joinable()) m_acceptor.join();
  std::vector<std::thread> connections;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    connections.swap(m_connections);
  }
  for (auto& t : connections) t.join();
  close(m_listen);
}

std::vector<ReceivedRequest> FaultServer::Requests() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_requests;
}

void FaultServer::AcceptLoop() {
  while (!m_stopping.load()) {
    pollfd p{m_listen, POLLIN, 0};
    if (poll(&p, 1, 50) <= 0) continue;
    int fd = accept(m_listen, nullptr, nullptr);
    if (fd < 0) continue;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_connections.emplace_back([this, fd] { Serve(fd); });
  }
}

void FaultServer::Serve(int fd) {
  std::string data;
  char buffer[65536];
  size_t headerEnd = std::string::npos;
  size_t bodyLength = 0;
  bool complete = false;
  while (!m_stopping.load() && !complete) {
    pollfd p{fd, POLLIN, 0};
    int ready = poll(&p, 1, 50);
    if (ready <= 0) continue;
    ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    data.append(buffer, static_cast<size_t>(n));
    if (headerEnd == std::string::npos) {
      headerEnd = data.find("\r\n\r\n");
      if (headerEnd != std::string::npos) {
        ReceivedRequest probe;
        probe.headers = data.substr(0, headerEnd);
        std::string length = probe.Header("Content-Length");
        bodyLength = length.empty() ? 0 : std::stoul(length);
      }
    }
    if (headerEnd != std::string::npos && data.size() >= headerEnd + 4 + bodyLength) complete = true;
  }
  if (complete) {
    ReceivedRequest request;
    size_t lineEnd = data.find("\r\n");
    request.requestLine = data.substr(0, lineEnd);
    request.headers = lineEnd < headerEnd ? data.substr(lineEnd + 2, headerEnd - lineEnd - 2) : std::string();
    request.body = data.substr(headerEnd + 4, bodyLength);
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_requests.push_back(request);
    }
    FaultConnection connection(fd, m_stopping);
    m_handler(request, connection);
    if (!connection.m_reset) shutdown(fd, SHUT_WR);
    if (!connection.m_reset) {
      // Let the client read to the end before the socket goes away.
      pollfd p{fd, POLLIN, 0};
      for (int i = 0; i < 20 && !m_stopping.load(); ++i) {
        if (poll(&p, 1, 50) > 0) {
          if (recv(fd, buffer, sizeof buffer, 0) <= 0) break;
        }
      }
    }
  }
  close(fd);
}

std::string HttpHead(int status, std::string_view extraHeaders) {
  std::string head = "HTTP/1.0 " + std::to_string(status) + " Status\r\n";
  head += extraHeaders;
  head += "\r\n";
  return head;
}

std::string HttpReply(int status, std::string_view body, std::string_view extraHeaders) {
  std::string headers = "Content-Length: " + std::to_string(body.size()) + "\r\n";
  headers += extraHeaders;
  return HttpHead(status, headers) + std::string(body);
}

std::string FileReplyBody(std::string_view headerText, std::string_view data) {
  std::string body = "BytesCount";
  uint32_t length = static_cast<uint32_t>(headerText.size());
  for (int i = 0; i < 4; ++i) body += static_cast<char>((length >> (8 * i)) & 0xFF);
  body += headerText;
  body += data;
  return body;
}

uint16_t FreePort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  socklen_t len = sizeof addr;
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  close(fd);
  return ntohs(addr.sin_port);
}

}  // namespace quon::test
