#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "support/Sockets.h"

namespace quon::test::sockets {

Handle ListenLoopback(uint16_t& port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return kInvalid;
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(fd, 16) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    close(fd);
    return kInvalid;
  }
  port = ntohs(addr.sin_port);
  return fd;
}

bool Wait(Handle socket, bool forWrite, int ms) {
  pollfd p{static_cast<int>(socket), static_cast<short>(forWrite ? POLLOUT : POLLIN), 0};
  return poll(&p, 1, ms) > 0;
}

Handle Accept(Handle listening) {
  int fd = accept(static_cast<int>(listening), nullptr, nullptr);
  return fd < 0 ? kInvalid : fd;
}

long Receive(Handle socket, char* buffer, size_t size) { return recv(static_cast<int>(socket), buffer, size, 0); }

long Send(Handle socket, const char* data, size_t size) {
  ssize_t n = send(static_cast<int>(socket), data, size, MSG_NOSIGNAL);
  return n < 0 && (errno == EINTR || errno == EAGAIN) ? 0 : n;
}

void ResetOnClose(Handle socket) {
  linger l{1, 0};
  setsockopt(static_cast<int>(socket), SOL_SOCKET, SO_LINGER, &l, sizeof l);
}

void ShutdownWrite(Handle socket) { shutdown(static_cast<int>(socket), SHUT_WR); }

void Close(Handle socket) { close(static_cast<int>(socket)); }

}  // namespace quon::test::sockets
