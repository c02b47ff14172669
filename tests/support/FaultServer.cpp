#include "support/FaultServer.h"

#include <algorithm>
#include <cctype>
#include <stdexcept>

namespace quon::test {

std::string ReceivedRequest::Header(std::string_view name) const {
  size_t start = 0;
  while (start < headers.size()) {
    size_t end = headers.find("\r\n", start);
    if (end == std::string::npos) end = headers.size();
    std::string_view line(headers.data() + start, end - start);
    size_t colon = line.find(':');
    auto same = [](char a, char b) {
      return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
    };
    if (colon == name.size() && std::equal(name.begin(), name.end(), line.begin(), same)) {
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
    if (!sockets::Wait(m_fd, true, 50)) continue;
    long n = sockets::Send(m_fd, bytes.data(), bytes.size());
    if (n < 0) return false;
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

void FaultConnection::Hang() {
  char buffer[256];
  while (!m_stopping.load()) {
    if (sockets::Wait(m_fd, false, 50) && sockets::Receive(m_fd, buffer, sizeof buffer) <= 0) return;  // peer gone
  }
}

void FaultConnection::Reset() {
  sockets::ResetOnClose(m_fd);
  m_reset = true;
}

FaultServer::FaultServer(Handler handler) : m_handler(std::move(handler)) {
  m_listen = sockets::ListenLoopback(m_port);
  if (m_listen == sockets::kInvalid) throw std::runtime_error("no listening socket on 127.0.0.1");
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
  sockets::Close(m_listen);
}

std::vector<ReceivedRequest> FaultServer::Requests() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_requests;
}

void FaultServer::AcceptLoop() {
  while (!m_stopping.load()) {
    if (!sockets::Wait(m_listen, false, 50)) continue;
    sockets::Handle fd = sockets::Accept(m_listen);
    if (fd == sockets::kInvalid) continue;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_connections.emplace_back([this, fd] { Serve(fd); });
  }
}

void FaultServer::Serve(sockets::Handle fd) {
  std::string data;
  char buffer[65536];
  size_t headerEnd = std::string::npos;
  size_t bodyLength = 0;
  bool complete = false;
  while (!m_stopping.load() && !complete) {
    if (!sockets::Wait(fd, false, 50)) continue;
    long n = sockets::Receive(fd, buffer, sizeof buffer);
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
    if (!connection.m_reset) {
      // Let the client read to the end before the socket goes away.
      sockets::ShutdownWrite(fd);
      for (int i = 0; i < 20 && !m_stopping.load(); ++i) {
        if (sockets::Wait(fd, false, 50) && sockets::Receive(fd, buffer, sizeof buffer) <= 0) break;
      }
    }
  }
  sockets::Close(fd);
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

FaultServer::Handler Answer(std::string reply) {
  return [reply](const ReceivedRequest&, FaultConnection& connection) { connection.Send(reply); };
}

uint16_t FreePort() {
  uint16_t port = 0;
  sockets::Close(sockets::ListenLoopback(port));
  return port;
}

}  // namespace quon::test
