// The few socket calls the scripted server needs, over POSIX sockets
// (Sockets_posix.cpp) or Winsock (Sockets_win.cpp).
#pragma once
#include <cstddef>
#include <cstdint>

namespace quon::test::sockets {

using Handle = intptr_t;
constexpr Handle kInvalid = -1;

// A socket listening on 127.0.0.1 at a port the system picks (read back
// into `port`), or kInvalid.
Handle ListenLoopback(uint16_t& port);
// Waits up to `ms` until the socket can be read (or written); true if so.
bool Wait(Handle socket, bool forWrite, int ms);
Handle Accept(Handle listening);
// Bytes received; 0 at the peer's orderly end, negative on failure.
long Receive(Handle socket, char* buffer, size_t size);
// Bytes sent; 0 when the call is to be repeated, negative once the peer
// is gone.
long Send(Handle socket, const char* data, size_t size);
// Makes the close a reset instead of an orderly end.
void ResetOnClose(Handle socket);
void ShutdownWrite(Handle socket);
void Close(Handle socket);

}  // namespace quon::test::sockets
