// The connections below the HTTP library: which are admitted, the worker
// threads that serve them, and the deadlines and bounds of a request as it
// is read. A client can hold a worker only while it sends a request within
// its deadline or while it reads the reply; one that trickles bytes, sends
// endless header lines or opens connection after connection does not take
// the server's workers or memory away from the others.
#pragma once
#include <httplib.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace quon::server {

struct ConnectionLimits {
  size_t threads = 32;          // connections served at once
  size_t queue = 256;           // admitted connections waiting for a worker
  size_t perAddress = 16;       // connections of one client address, served or waiting; 0: no limit
  int idleSeconds = 5;          // wait for the first byte of a request
  int requestSeconds = 10;      // from that byte to the last byte of its body
  int writeSeconds = 30;        // for each write of the reply
  size_t keepAliveMax = 100;    // requests on one connection
  size_t maxHeaderLines = 100;  // request line and header lines
  size_t maxHeadBytes = 32 * 1024;
};

// Counters for the metrics; they only grow.
struct ConnectionCounters {
  std::atomic<uint64_t> refusedBusy{0};        // 503: the queue was full
  std::atomic<uint64_t> refusedPerAddress{0};  // 503: too many from one address
  std::atomic<uint64_t> headerTooLarge{0};     // 431
  std::atomic<uint64_t> requestTimeout{0};     // 408
  std::atomic<int64_t> open{0};                // admitted and not yet closed
};

// What ended the request being read on this thread, for its log line: 0, or
// 431 / 408 when the connection layer refused it. Reading resets it.
int TakeConnectionVerdict();

// httplib's server, plain or (with a certificate and key) TLS, whose
// connections go through the gate. `counters` stays valid while the server
// lives; `log` takes the occasional line about refused connections;
// `refusedEarly` is called for a request refused (408, 431) before the
// library saw its request line, which the library does not log, with the
// client's address and port (TakeConnectionVerdict gives the status).
std::unique_ptr<httplib::Server> MakeGuardedServer(const ConnectionLimits& limits,
                                                   std::function<void(const std::string&)> log,
                                                   std::function<void(const std::string&, int)> refusedEarly,
                                                   const std::string& tlsCert, const std::string& tlsKey,
                                                   std::shared_ptr<const ConnectionCounters>& counters);

}  // namespace quon::server
