#include "Connections.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <thread>
#include <type_traits>
#include <vector>

namespace quon::server {

namespace {

using Clock = std::chrono::steady_clock;

// Set while the accepting thread hands a new connection to the gate.
thread_local bool t_admitting = false;
thread_local int t_verdict = 0;

int MillisecondsUntil(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return static_cast<int>(std::clamp<long long>(left, 0, 60 * 60 * 1000));
}

// 0 on timeout, 1 when ready, -1 on an error.
int WaitFor(int fd, short events, int ms) {
  pollfd p{fd, events, 0};
  for (;;) {
    const int r = poll(&p, 1, ms);
    if (r < 0 && errno == EINTR) continue;
    return r < 0 ? -1 : (r == 0 ? 0 : 1);
  }
}

std::string AddressText(const sockaddr_storage& addr) {
  char text[INET6_ADDRSTRLEN] = {};
  if (addr.ss_family == AF_INET) {
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in&>(addr).sin_addr, text, sizeof text);
  } else if (addr.ss_family == AF_INET6) {
    inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6&>(addr).sin6_addr, text, sizeof text);
  }
  return text;
}

int PortOf(const sockaddr_storage& addr) {
  if (addr.ss_family == AF_INET) return ntohs(reinterpret_cast<const sockaddr_in&>(addr).sin_port);
  if (addr.ss_family == AF_INET6) return ntohs(reinterpret_cast<const sockaddr_in6&>(addr).sin6_port);
  return 0;
}

std::string PeerAddress(int fd) {
  sockaddr_storage addr{};
  socklen_t len = sizeof addr;
  if (getpeername(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) return {};
  return AddressText(addr);
}

std::string CannedReply(int status, const char* reason, const char* text, const char* extraHeader = "") {
  const std::string body = std::string(text) + "\n";
  return "HTTP/1.1 " + std::to_string(status) + " " + reason +
         "\r\nContent-Type: text/plain\r\nContent-Length: " + std::to_string(body.size()) + "\r\n" + extraHeader +
         "Connection: close\r\n\r\n" + body;
}

// Reads what the client still sends, for a short while, so that closing
// does not reset the connection before it has read a refusal.
void DrainAndClose(int fd, int ms) {
  shutdown(fd, SHUT_WR);
  const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
  char sink[16384];
  size_t total = 0;
  while (total < 256 * 1024 && WaitFor(fd, POLLIN, MillisecondsUntil(deadline)) > 0) {
    const ssize_t n = recv(fd, sink, sizeof sink, MSG_DONTWAIT);
    if (n <= 0) break;
    total += static_cast<size_t>(n);
  }
  close(fd);
}

}  // namespace

int TakeConnectionVerdict() {
  const int v = t_verdict;
  t_verdict = 0;
  return v;
}

// One request after another on one connection (plain or TLS), on a
// non-blocking socket: reads wait at most until the request's deadline,
// each write at most the write timeout. The request head is counted as the
// HTTP library reads it, line by line, and refused once it grows too large.
class GateStream : public httplib::Stream {
 public:
  GateStream(int fd, SSL* ssl, const ConnectionLimits& limits, ConnectionCounters& counters)
      : m_fd(fd), m_ssl(ssl), m_limits(limits), m_counters(counters) {}

  // Waits for the first byte of the next request; false when the client
  // stays silent, goes away, or the server stops.
  bool WaitForRequest(const std::atomic<bool>& stopping) {
    if (m_pos < m_buffer.size() || (m_ssl && SSL_pending(m_ssl) > 0)) return true;
    const auto deadline = Clock::now() + std::chrono::seconds(m_limits.idleSeconds);
    while (!stopping) {
      const int ms = std::min(MillisecondsUntil(deadline), 200);
      const int r = WaitFor(m_fd, POLLIN, ms);
      if (r != 0) return r > 0;
      if (ms == 0) return false;
    }
    return false;
  }

  void BeginRequest() {
    t_verdict = 0;
    m_deadline = Clock::now() + std::chrono::seconds(m_limits.requestSeconds);
    m_inHead = true;
    m_headBytes = m_lines = m_lineLength = 0;
    m_requestBytes = 0;
  }

  bool Refused() const { return m_refused; }

  bool is_readable() const override {
    if (m_refused) return false;
    if (m_pos < m_buffer.size() || (m_ssl && SSL_pending(m_ssl) > 0)) return true;
    return WaitFor(m_fd, POLLIN, MillisecondsUntil(m_deadline)) > 0;
  }

  bool is_writable() const override { return !m_refused && WaitFor(m_fd, POLLOUT, m_limits.writeSeconds * 1000) > 0; }

  ssize_t read(char* ptr, size_t size) override {
    if (m_refused) return -1;
    if (m_pos == m_buffer.size()) {
      const ssize_t got = Fill();
      if (got <= 0) return got;
    }
    size_t n = std::min(size, m_buffer.size() - m_pos);
    if (m_inHead) {
      // Served byte by byte while the head lasts, so that its end is seen
      // exactly and the body is not counted.
      for (size_t i = 0; i < n; ++i) {
        if (!CountHeadByte(m_buffer[m_pos + i])) return -1;
        if (!m_inHead) {
          n = i + 1;
          break;
        }
      }
    }
    std::copy_n(m_buffer.data() + m_pos, n, ptr);
    m_pos += n;
    return static_cast<ssize_t>(n);
  }

  ssize_t write(const char* ptr, size_t size) override {
    if (m_refused) return -1;
    return WriteAll(ptr, size, m_limits.writeSeconds * 1000) ? static_cast<ssize_t>(size) : -1;
  }

  void get_remote_ip_and_port(std::string& ip, int& port) const override { Address(true, ip, port); }
  void get_local_ip_and_port(std::string& ip, int& port) const override { Address(false, ip, port); }
  socket_t socket() const override { return m_fd; }

 private:
  void Address(bool remote, std::string& ip, int& port) const {
    sockaddr_storage addr{};
    socklen_t len = sizeof addr;
    const int r = remote ? getpeername(m_fd, reinterpret_cast<sockaddr*>(&addr), &len)
                         : getsockname(m_fd, reinterpret_cast<sockaddr*>(&addr), &len);
    if (r != 0) return;
    ip = AddressText(addr);
    port = PortOf(addr);
  }

  // Reads more from the connection into the buffer: the count, 0 at its
  // end, -1 on an error or when the request's deadline has passed.
  ssize_t Fill() {
    m_buffer.resize(16384);
    m_pos = 0;
    for (;;) {
      ssize_t n;
      short waitFor = POLLIN;
      if (m_ssl) {
        ERR_clear_error();
        const int r = SSL_read(m_ssl, m_buffer.data(), static_cast<int>(m_buffer.size()));
        n = r;
        if (r <= 0) {
          const int e = SSL_get_error(m_ssl, r);
          if (e == SSL_ERROR_ZERO_RETURN)
            n = 0;
          else if (e == SSL_ERROR_WANT_WRITE)
            waitFor = POLLOUT, n = -2;
          else if (e == SSL_ERROR_WANT_READ)
            n = -2;
          else
            n = -1;
        }
      } else {
        n = recv(m_fd, m_buffer.data(), m_buffer.size(), 0);
        if (n < 0) n = (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) ? -2 : -1;
      }
      if (n >= 0) {
        m_buffer.resize(static_cast<size_t>(n));
        m_requestBytes += static_cast<size_t>(n);
        return n;
      }
      if (n == -1) break;
      const int ms = MillisecondsUntil(m_deadline);
      if (ms == 0 || WaitFor(m_fd, waitFor, ms) <= 0) {
        // The request did not arrive in time: answered with 408 once some
        // of it came, so that a client can tell it from a lost connection.
        if (m_requestBytes > 0 || m_headBytes > 0) {
          ++m_counters.requestTimeout;
          Refuse(408, "Request Timeout", "The request did not arrive in time.");
        }
        break;
      }
    }
    m_buffer.clear();
    return -1;
  }

  bool CountHeadByte(char c) {
    ++m_headBytes;
    if (c == '\n') {
      if (m_lineLength == 0 && m_lines > 0) {
        m_inHead = false;
        return true;
      }
      ++m_lines;
      m_lineLength = 0;
    } else if (c != '\r') {
      ++m_lineLength;
    }
    if (m_lines > m_limits.maxHeaderLines || m_headBytes > m_limits.maxHeadBytes) {
      ++m_counters.headerTooLarge;
      Refuse(431, "Request Header Fields Too Large", "The request header is too large.");
      return false;
    }
    return true;
  }

  // Answers the request from here and ends the connection: whatever the
  // library writes afterwards is dropped.
  void Refuse(int status, const char* reason, const char* text) {
    if (m_refused) return;
    const std::string reply = CannedReply(status, reason, text);
    WriteAll(reply.data(), reply.size(), 2000);
    m_refused = true;
    t_verdict = status;
  }

  bool WriteAll(const char* data, size_t size, int timeoutMs) {
    size_t done = 0;
    while (done < size) {
      ssize_t n;
      short waitFor = POLLOUT;
      if (m_ssl) {
        ERR_clear_error();
        const int chunk = static_cast<int>(std::min<size_t>(size - done, 1 << 20));
        const int r = SSL_write(m_ssl, data + done, chunk);
        n = r;
        if (r <= 0) {
          const int e = SSL_get_error(m_ssl, r);
          if (e == SSL_ERROR_WANT_READ)
            waitFor = POLLIN, n = -2;
          else if (e == SSL_ERROR_WANT_WRITE)
            n = -2;
          else
            n = -1;
        }
      } else {
        n = send(m_fd, data + done, size - done, MSG_NOSIGNAL);
        if (n < 0) n = (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) ? -2 : -1;
      }
      if (n == -1) return false;
      if (n > 0) {
        done += static_cast<size_t>(n);
        continue;
      }
      if (WaitFor(m_fd, waitFor, timeoutMs) <= 0) return false;
    }
    return true;
  }

  int m_fd;
  SSL* m_ssl;
  const ConnectionLimits& m_limits;
  ConnectionCounters& m_counters;
  std::vector<char> m_buffer;
  size_t m_pos = 0;
  Clock::time_point m_deadline = Clock::now();
  bool m_inHead = false;
  bool m_refused = false;
  size_t m_headBytes = 0, m_lines = 0, m_lineLength = 0, m_requestBytes = 0;
};

// Admission on the accepting thread, then a fixed pool of workers that
// serve the admitted connections in order.
class ConnectionGate {
 public:
  ConnectionGate(const ConnectionLimits& limits, std::function<void(const std::string&)> log, bool tls)
      : limits(limits), m_log(std::move(log)), m_tls(tls) {}
  ~ConnectionGate() { Shutdown(); }

  void Start() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_workers.empty() || stopping) return;
    // The library listens with a backlog of 5: a burst of new connections
    // beyond that would wait for the clients' SYN retries, seconds each.
    if (listening != nullptr && *listening >= 0) listen(*listening, 1024);
    for (size_t i = 0; i < std::max<size_t>(limits.threads, 1); ++i) m_workers.emplace_back([this] { Work(); });
  }

  void Admit(int fd) {
    const std::string address = PeerAddress(fd);
    {
      std::unique_lock<std::mutex> lock(m_mutex);
      const bool full = m_queue.size() >= limits.queue;
      const bool tooMany = limits.perAddress > 0 && m_perAddress[address] >= limits.perAddress;
      if (!stopping && !full && !tooMany) {
        ++m_perAddress[address];
        m_queue.push_back({fd, address});
        ++counters.open;
        m_wake.notify_one();
        return;
      }
      if (m_perAddress[address] == 0) m_perAddress.erase(address);
      ++(full ? counters.refusedBusy : counters.refusedPerAddress);
      ++m_refusedSinceReport;
    }
    // Refused at once, without a worker: 503 on a plain connection, a close
    // on a TLS one (its handshake would need a worker).
    if (!m_tls) {
      static const std::string reply =
          CannedReply(503, "Service Unavailable", "The server is busy. Please try again later.", "Retry-After: 10\r\n");
      (void)!send(fd, reply.data(), reply.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    }
    DrainAndClose(fd, 0);
    ReportRefusals();
  }

  void Shutdown() {
    std::vector<std::thread> workers;
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      stopping = true;
      workers.swap(m_workers);
      m_wake.notify_all();
    }
    for (auto& t : workers) t.join();
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const auto& waiting : m_queue) close(waiting.fd);
    m_queue.clear();
  }

  const ConnectionLimits limits;
  ConnectionCounters counters;
  std::atomic<bool> stopping{false};
  std::function<void(int)> serve;
  std::function<void(const std::string&, int)> refusedEarly;
  const std::atomic<socket_t>* listening = nullptr;

 private:
  struct Waiting {
    int fd;
    std::string address;
  };

  void Work() {
    for (;;) {
      Waiting next;
      {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_wake.wait(lock, [this] { return stopping || !m_queue.empty(); });
        if (stopping) return;
        next = std::move(m_queue.front());
        m_queue.pop_front();
      }
      serve(next.fd);
      std::lock_guard<std::mutex> lock(m_mutex);
      if (--m_perAddress[next.address] == 0) m_perAddress.erase(next.address);
      --counters.open;
    }
  }

  // At most one log line every ten seconds, however many are refused.
  void ReportRefusals() {
    const auto now = Clock::now();
    uint64_t count = 0;
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      if (now - m_lastReport < std::chrono::seconds(10)) return;
      count = m_refusedSinceReport;
      m_refusedSinceReport = 0;
      m_lastReport = now;
    }
    if (count > 0 && m_log)
      m_log("busy: refused " + std::to_string(count) +
            " connections (503) since the last report: all workers taken and the queue full, or too many "
            "connections from one address");
  }

  std::function<void(const std::string&)> m_log;
  const bool m_tls;
  std::mutex m_mutex;
  std::condition_variable m_wake;
  std::deque<Waiting> m_queue;
  std::map<std::string, size_t> m_perAddress;
  std::vector<std::thread> m_workers;
  uint64_t m_refusedSinceReport = 0;
  Clock::time_point m_lastReport{};
};

namespace {

// The library's task queue, used only to reach the gate: each accepted
// connection is handed over on the accepting thread, which never blocks on
// a client.
class AdmissionQueue : public httplib::TaskQueue {
 public:
  explicit AdmissionQueue(std::shared_ptr<ConnectionGate> gate) : m_gate(std::move(gate)) { m_gate->Start(); }
  void enqueue(std::function<void()> fn) override {
    t_admitting = true;
    fn();
    t_admitting = false;
  }
  void shutdown() override { m_gate->Shutdown(); }

 private:
  std::shared_ptr<ConnectionGate> m_gate;
};

SSL* TlsAccept(SSL_CTX* ctx, int fd, int seconds) {
  SSL* ssl = SSL_new(ctx);
  if (ssl == nullptr) return nullptr;
  SSL_set_fd(ssl, fd);
  const auto deadline = Clock::now() + std::chrono::seconds(seconds);
  for (;;) {
    ERR_clear_error();
    const int r = SSL_accept(ssl);
    if (r == 1) return ssl;
    const int e = SSL_get_error(ssl, r);
    const short events = e == SSL_ERROR_WANT_READ ? POLLIN : e == SSL_ERROR_WANT_WRITE ? POLLOUT : 0;
    if (events == 0 || WaitFor(fd, events, MillisecondsUntil(deadline)) <= 0) break;
  }
  SSL_free(ssl);
  return nullptr;
}

// httplib's server (plain or TLS) with its connections handed to the gate.
template <class Base>
class GuardedServer : public Base {
 public:
  template <class... Args>
  GuardedServer(std::shared_ptr<ConnectionGate> gate, Args&&... args)
      : Base(std::forward<Args>(args)...), m_gate(std::move(gate)) {
    auto g = m_gate;
    this->new_task_queue = [g] { return new AdmissionQueue(g); };
    m_gate->serve = [this](int fd) { Serve(fd); };
    m_gate->listening = &this->svr_sock_;
  }
  ~GuardedServer() override { m_gate->Shutdown(); }

 private:
  bool process_and_close_socket(socket_t sock) override {
    if (t_admitting) {
      m_gate->Admit(sock);
      return true;
    }
    close(sock);
    return false;
  }

  void Serve(socket_t sock);

  std::shared_ptr<ConnectionGate> m_gate;
};

template <class Base>
void GuardedServer<Base>::Serve(socket_t sock) {
  const ConnectionLimits& limits = m_gate->limits;
  fcntl(sock, F_SETFL, fcntl(sock, F_GETFL) | O_NONBLOCK);
  SSL* ssl = nullptr;
  if constexpr (std::is_same_v<Base, httplib::SSLServer>) {
    ssl = TlsAccept(this->ssl_context(), sock, limits.requestSeconds);
    if (ssl == nullptr) {
      close(sock);
      return;
    }
  }
  GateStream stream(sock, ssl, limits, m_gate->counters);
  for (size_t n = 0; n < limits.keepAliveMax && !m_gate->stopping; ++n) {
    if (!stream.WaitForRequest(m_gate->stopping)) break;
    stream.BeginRequest();
    bool closed = false;
    const bool ok = this->process_request(stream, n + 1 == limits.keepAliveMax, closed, nullptr);
    if (t_verdict != 0 && m_gate->refusedEarly) {
      // Refused while its request line was read: the library ended without
      // a log line, so the request gets its own.
      std::string ip;
      int port = 0;
      stream.get_remote_ip_and_port(ip, port);
      m_gate->refusedEarly(ip, port);
      t_verdict = 0;
    }
    if (!ok || closed || stream.Refused()) break;
  }
  if (ssl) {
    SSL_shutdown(ssl);
    SSL_free(ssl);
  }
  if (stream.Refused()) {
    DrainAndClose(sock, 500);
  } else {
    shutdown(sock, SHUT_RDWR);
    close(sock);
  }
}

}  // namespace

std::unique_ptr<httplib::Server> MakeGuardedServer(const ConnectionLimits& limits,
                                                   std::function<void(const std::string&)> log,
                                                   std::function<void(const std::string&, int)> refusedEarly,
                                                   const std::string& tlsCert, const std::string& tlsKey,
                                                   std::shared_ptr<const ConnectionCounters>& counters) {
  const bool tls = !tlsCert.empty();
  auto gate = std::make_shared<ConnectionGate>(limits, std::move(log), tls);
  counters = std::shared_ptr<const ConnectionCounters>(gate, &gate->counters);
  gate->refusedEarly = std::move(refusedEarly);
  if (tls) return std::make_unique<GuardedServer<httplib::SSLServer>>(gate, tlsCert.c_str(), tlsKey.c_str());
  return std::make_unique<GuardedServer<httplib::Server>>(gate);
}

}  // namespace quon::server
