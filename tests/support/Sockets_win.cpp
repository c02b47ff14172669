#include <winsock2.h>

#include "support/Sockets.h"

namespace quon::test::sockets {
namespace {

SOCKET S(Handle socket) { return static_cast<SOCKET>(socket); }

void EnsureWinsock() {
  static const bool started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  (void)started;
}

}  // namespace

Handle ListenLoopback(uint16_t& port) {
  EnsureWinsock();
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) return kInvalid;
  sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int len = sizeof addr;
  if (bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(s, 16) != 0 ||
      getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    closesocket(s);
    return kInvalid;
  }
  port = ntohs(addr.sin_port);
  return static_cast<Handle>(s);
}

bool Wait(Handle socket, bool forWrite, int ms) {
  fd_set set;
  FD_ZERO(&set);
  FD_SET(S(socket), &set);
  timeval timeout = {ms / 1000, (ms % 1000) * 1000};
  return select(0, forWrite ? nullptr : &set, forWrite ? &set : nullptr, nullptr, &timeout) > 0;
}

Handle Accept(Handle listening) {
  SOCKET s = accept(S(listening), nullptr, nullptr);
  return s == INVALID_SOCKET ? kInvalid : static_cast<Handle>(s);
}

long Receive(Handle socket, char* buffer, size_t size) {
  return recv(S(socket), buffer, static_cast<int>(size), 0);
}

long Send(Handle socket, const char* data, size_t size) {
  int n = send(S(socket), data, static_cast<int>(size), 0);
  return n == SOCKET_ERROR && WSAGetLastError() == WSAEWOULDBLOCK ? 0 : n;
}

void ResetOnClose(Handle socket) {
  linger l = {1, 0};
  setsockopt(S(socket), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&l), sizeof l);
}

void ShutdownWrite(Handle socket) { shutdown(S(socket), SD_SEND); }

void Close(Handle socket) { closesocket(S(socket)); }

}  // namespace quon::test::sockets
