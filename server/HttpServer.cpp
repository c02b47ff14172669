#include "HttpServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gnutls/gnutls.h>
#include <microhttpd.h>
#include <netdb.h>
#include <netinet/in.h>
#include <strings.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstring>
#include <ctime>
#include <fstream>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "Mirror.h"
#include "UpdateService.h"

namespace quon::server {

namespace {

using Clock = std::chrono::steady_clock;

// The archive is read and handed to the library in blocks of this size;
// each download holds one such buffer while it runs.
constexpr size_t kStreamBlock = 256 * 1024;
// TLS 1.2 and 1.3 only.
constexpr char kTlsPriorities[] = "NORMAL:-VERS-ALL:+VERS-TLS1.3:+VERS-TLS1.2";
// File descriptors kept for archives, the figures' database, the log and
// the library itself beyond the connections.
constexpr size_t kSpareFiles = 256;
// The admin address serves one operator's monitoring, nothing more.
constexpr unsigned kAdminConnections = 32;
constexpr unsigned kAdminPerAddress = 8;

// Client text in a log line: no blanks or control bytes, bounded length.
std::string LogField(const std::string& s) {
  if (s.empty()) return "-";
  std::string out;
  for (char c : s.substr(0, 64)) {
    const auto u = static_cast<unsigned char>(c);
    if (u <= 0x20 || u == 0x7F || c == '"' || c == '\\') {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02X", u);
      out += buf;
    } else {
      out += c;
    }
  }
  if (s.size() > 64) out += "...";
  return out;
}

std::string TimeStamp() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t t = std::chrono::system_clock::to_time_t(now);
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm tm{};
  gmtime_r(&t, &tm);
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(ms));
  return buf;
}

long long MillisecondsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

std::string ClientOf(MHD_Connection* c) {
  const MHD_ConnectionInfo* info = MHD_get_connection_info(c, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
  if (info == nullptr || info->client_addr == nullptr) return "-";
  char text[INET6_ADDRSTRLEN] = {};
  int port = 0;
  const sockaddr* addr = info->client_addr;
  if (addr->sa_family == AF_INET) {
    const auto* in = reinterpret_cast<const sockaddr_in*>(addr);
    inet_ntop(AF_INET, &in->sin_addr, text, sizeof text);
    port = ntohs(in->sin_port);
  } else if (addr->sa_family == AF_INET6) {
    const auto* in6 = reinterpret_cast<const sockaddr_in6*>(addr);
    inet_ntop(AF_INET6, &in6->sin6_addr, text, sizeof text);
    port = ntohs(in6->sin6_port);
  }
  return std::string(text) + ":" + std::to_string(port);
}

// A download whose bytes are not there yet (the mirror's copy still
// arriving): its connection leaves the event loop until they are.
class ConnectionWaiter : public ReplyWaiter {
 public:
  explicit ConnectionWaiter(MHD_Connection* c) : m_connection(c) {}
  void Park() override { MHD_suspend_connection(m_connection); }
  void Wake() override { MHD_resume_connection(m_connection); }

 private:
  MHD_Connection* m_connection;
};

// One download: the head (BytesCount header and header text), then the
// archive from `start` on, from the file opened for it (or the mirror's
// source). Shared by the request's log record and the library's reply,
// whichever ends last frees it.
struct Download {
  std::string head;
  std::shared_ptr<ArchiveFile> archive;
  std::shared_ptr<ReplySource> source;
  std::shared_ptr<ReplyWaiter> waiter;
  uint64_t start = 0;     // the first archive byte sent (filepos)
  uint64_t length = 0;    // the whole archive's
  uint64_t total = 0;     // the reply's: the head and the archive from start
  uint64_t provided = 0;  // bytes handed to the library
  bool changed = false;   // the archive changed or shrank under the download
  bool failed = false;    // the source could not give its bytes
  const std::atomic<bool>* stopping = nullptr;
};

ssize_t ReadDownload(void* cls, uint64_t pos, char* buffer, size_t max) {
  Download& d = **static_cast<std::shared_ptr<Download>*>(cls);
  if (*d.stopping || d.changed || d.failed) return MHD_CONTENT_READER_END_WITH_ERROR;
  size_t filled = 0;
  if (pos < d.head.size()) {
    filled = static_cast<size_t>(std::min<uint64_t>(d.head.size() - pos, max));
    std::memcpy(buffer, d.head.data() + pos, filled);
  }
  const uint64_t at = pos + filled;
  if (filled < max && at < d.total) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(max - filled, d.total - at));
    const uint64_t offset = d.start + (at - d.head.size());
    if (d.source) {
      // The head goes out on its own: a read of the source may park the
      // connection, which must then have nothing pending.
      if (filled > 0) {
        d.provided = std::max(d.provided, pos + filled);
        return static_cast<ssize_t>(filled);
      }
      const long got = d.source->Read(buffer, want, offset, d.waiter);
      if (got < 0) {
        d.failed = true;
        return MHD_CONTENT_READER_END_WITH_ERROR;
      }
      // 0: nothing yet, the connection is parked until the source wakes it.
      filled += static_cast<size_t>(got);
    } else {
      const long got = d.archive->ReadAt(buffer + filled, want, offset);
      // The bytes read count only when the file is still the one that was
      // opened, as it was: an archive written over in place would otherwise
      // be sent half old, half new under the old length.
      if (got <= 0 || !d.archive->Unchanged()) {
        d.changed = true;
        return MHD_CONTENT_READER_END_WITH_ERROR;
      }
      filled += static_cast<size_t>(got);
    }
  }
  d.provided = std::max(d.provided, pos + filled);
  return static_cast<ssize_t>(filled);
}

void FreeDownload(void* cls) { delete static_cast<std::shared_ptr<Download>*>(cls); }

// One request, from its request line to its log line.
struct Request {
  Clock::time_point start = Clock::now();
  std::string target;  // as sent: path, then '?' and the query
  bool headSeen = false;
  std::string body;
  int status = 0;  // of the reply queued; 0 while there is none
  std::string function;
  std::string updateVersion;
  std::string tableId;
  std::string result;
  uint64_t bytes = 0;
  std::shared_ptr<Download> download;
  // A request the mirror relays: the connection waits, suspended, until the
  // mirror hands over the reply.
  struct Relay {
    std::mutex mutex;
    bool done = false;
    ServiceReply reply;
  };
  std::shared_ptr<Relay> relay;
  bool suspended = false;
  // For the figures.
  bool accepted = false;
  std::string identity;
  std::string installed;
  std::string offered;
  uint32_t updateId = 0;
  std::string brings;
};

// What the deadline keeper knows of a connection: its socket and until
// when the request it waits for must have arrived.
struct Connection {
  int fd = -1;
  bool waiting = true;  // for a request (not replying)
  bool cut = false;
  Clock::time_point since = Clock::now();
  Clock::time_point deadline;
};

// The library's own messages: at most this many lines in the log every
// 10 s; the rest are counted.
constexpr int kLibraryLinesPerTenSeconds = 20;

}  // namespace

// One listening address served by the library.
struct Listener {
  HttpServer::Impl* server = nullptr;
  bool admin = false;
  int fd = -1;
  MHD_Daemon* daemon = nullptr;
  int port = 0;
};

struct HttpServer::Impl {
  ServerOptions options;
  std::FILE* log;
  mutable std::mutex catalogMutex;
  std::shared_ptr<const Catalog> catalog;
  mutable std::mutex logMutex;
  StatsRecorder* stats = nullptr;
  ArchiveDigests* digests = nullptr;
  Mirror* mirror = nullptr;
  Metrics metrics;
  ConnectionCounters connections;
  bool tlsValid = true;
  std::string tlsCert, tlsKey;
  Listener service, admin;
  std::atomic<bool> stopping{false};

  std::mutex runMutex;
  std::condition_variable runWake;
  bool stopRequested = false;

  // Every open connection, for the deadline keeper.
  std::mutex connectionsMutex;
  std::set<Connection*> open;

  // The library's own messages, rate-limited.
  std::mutex libraryMutex;
  Clock::time_point libraryWindow{};
  int libraryLines = 0;
  uint64_t librarySuppressed = 0;
  uint64_t refusedSinceReport = 0;
  Clock::time_point lastRefusalReport{};

  bool Start(Listener& l);
  void KeepDeadlines();
  void Head(Listener& l, MHD_Connection* c, Request& r, const char* method);
  void Serve(MHD_Connection* c, Request& r);
  void Send(MHD_Connection* c, Request& r, ServiceReply reply);
  void Reply(MHD_Connection* c, Request& r, int status, const std::string& text, const char* result,
             const char* allow = nullptr, const char* contentType = "text/plain");
  void Arrived(MHD_Connection* c);
  void WriteLog(MHD_Connection* c, Request& r, MHD_RequestTerminationCode how);
  void WriteLine(const std::string& client, int status, const std::string& function, const std::string& version,
                 const std::string& tableId, const std::string& result, uint64_t bytes, long long ms);
  void LibraryMessage(const std::string& text);
};

namespace {

Connection* ConnectionOf(MHD_Connection* c) {
  const MHD_ConnectionInfo* info = MHD_get_connection_info(c, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
  return info ? static_cast<Connection*>(info->socket_context) : nullptr;
}

void OnConnection(void* cls, MHD_Connection* c, void** context, MHD_ConnectionNotificationCode code) {
  auto& l = *static_cast<Listener*>(cls);
  HttpServer::Impl& d = *l.server;
  if (code == MHD_CONNECTION_NOTIFY_STARTED) {
    auto* conn = new Connection;
    const MHD_ConnectionInfo* info = MHD_get_connection_info(c, MHD_CONNECTION_INFO_CONNECTION_FD);
    conn->fd = info ? info->connect_fd : -1;
    conn->deadline = conn->since + std::chrono::seconds(d.options.limits.requestSeconds);
    *context = conn;
    if (!l.admin) ++d.connections.open;
    std::lock_guard<std::mutex> lock(d.connectionsMutex);
    d.open.insert(conn);
    return;
  }
  auto* conn = static_cast<Connection*>(*context);
  if (conn == nullptr) return;
  {
    // The socket is still open here: the deadline keeper, which works
    // under the same lock, never touches a socket number used again.
    std::lock_guard<std::mutex> lock(d.connectionsMutex);
    d.open.erase(conn);
  }
  if (conn->cut && !l.admin) {
    d.metrics.CountRequest("", 408, "request-timeout", 0);
    d.WriteLine(ClientOf(c), 408, "", "", "", "request-timeout", 0, MillisecondsSince(conn->since));
  }
  if (!l.admin) --d.connections.open;
  delete conn;
  *context = nullptr;
}

void* OnRequestLine(void* cls, const char* uri, MHD_Connection*) {
  (void)cls;
  auto* r = new Request;
  r->target = uri ? uri : "";
  return r;
}

void OnCompleted(void* cls, MHD_Connection* c, void** context, MHD_RequestTerminationCode how) {
  auto& l = *static_cast<Listener*>(cls);
  HttpServer::Impl& d = *l.server;
  auto* r = static_cast<Request*>(*context);
  *context = nullptr;
  if (r != nullptr) {
    // The admin address's own requests are neither logged nor counted.
    if (!l.admin) d.WriteLog(c, *r, how);
    if (r->download) MHD_set_connection_option(c, MHD_CONNECTION_OPTION_TIMEOUT, d.options.limits.idleSeconds);
    delete r;
  }
  // Kept open: the next request must arrive in time as well.
  if (Connection* conn = ConnectionOf(c)) {
    std::lock_guard<std::mutex> lock(d.connectionsMutex);
    conn->waiting = true;
    conn->since = Clock::now();
    conn->deadline = conn->since + std::chrono::seconds(d.options.limits.requestSeconds);
  }
}

MHD_Result OnRequest(void* cls, MHD_Connection* c, const char*, const char* method, const char*, const char* data,
                     size_t* size, void** context) {
  auto& l = *static_cast<Listener*>(cls);
  HttpServer::Impl& d = *l.server;
  auto* r = static_cast<Request*>(*context);
  if (r == nullptr) *context = r = new Request;
  try {
    if (!r->headSeen) {
      r->headSeen = true;
      d.Head(l, c, *r, method);
      return MHD_YES;
    }
    if (*size > 0) {
      // The library passes no more than the declared length, which Head
      // bounded; nothing is kept of a request already refused.
      if (r->status == 0) r->body.append(data, *size);
      *size = 0;
      return MHD_YES;
    }
    if (r->status == 0) d.Serve(c, *r);
  } catch (const std::exception&) {
    if (r->status == 0 && !r->suspended) d.Reply(c, *r, 500, "Internal server error.", "internal-error");
  }
  return r->status != 0 || r->suspended ? MHD_YES : MHD_NO;
}

void OnLibraryMessage(void* cls, const char* format, va_list args) {
  char text[512];
  std::vsnprintf(text, sizeof text, format, args);
  static_cast<HttpServer::Impl*>(cls)->LibraryMessage(text);
}

bool ValidTls(const std::string& cert, const std::string& key) {
  gnutls_certificate_credentials_t credentials = nullptr;
  if (gnutls_certificate_allocate_credentials(&credentials) < 0) return false;
  gnutls_datum_t c{reinterpret_cast<unsigned char*>(const_cast<char*>(cert.data())),
                   static_cast<unsigned>(cert.size())};
  gnutls_datum_t k{reinterpret_cast<unsigned char*>(const_cast<char*>(key.data())), static_cast<unsigned>(key.size())};
  const int r = gnutls_certificate_set_x509_key_mem2(credentials, &c, &k, GNUTLS_X509_FMT_PEM, nullptr, 0);
  gnutls_certificate_free_credentials(credentials);
  return r >= 0;
}

std::string ReadWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return in ? std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()) : std::string();
}

// A listening socket on host:port (port 0: any free one): the socket, or
// -1 with errno set.
int ListenOn(const std::string& host, int& port, int backlog) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE;
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0) {
    errno = EADDRNOTAVAIL;
    return -1;
  }
  int fd = -1;
  int error = EADDRNOTAVAIL;
  for (addrinfo* a = found; a != nullptr && fd < 0; a = a->ai_next) {
    fd = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol);
    if (fd < 0) continue;
    // Address reuse for quick restarts, but no port sharing: a second
    // server on the same port must fail instead of taking half of the
    // requests.
    int yes = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    if (bind(fd, a->ai_addr, a->ai_addrlen) != 0 || listen(fd, backlog) != 0) {
      error = errno;
      close(fd);
      fd = -1;
    }
  }
  freeaddrinfo(found);
  if (fd < 0) {
    errno = error;
    return -1;
  }
  sockaddr_storage bound{};
  socklen_t len = sizeof bound;
  getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &len);
  port = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6&>(bound).sin6_port
                                           : reinterpret_cast<sockaddr_in&>(bound).sin_port);
  return fd;
}

}  // namespace

HttpServer::HttpServer(ServerOptions options, std::shared_ptr<const Catalog> catalog, std::FILE* log)
    : m_impl(std::make_unique<Impl>()) {
  Impl& d = *m_impl;
  d.options = std::move(options);
  d.log = log;
  d.catalog = std::move(catalog);
  d.service.server = d.admin.server = &d;
  d.admin.admin = true;
  if (!d.options.tlsCertFile.empty()) {
    d.tlsCert = ReadWhole(d.options.tlsCertFile);
    d.tlsKey = ReadWhole(d.options.tlsKeyFile);
    d.tlsValid = ValidTls(d.tlsCert, d.tlsKey);
  }
}

HttpServer::~HttpServer() {
  for (Listener* l : {&m_impl->service, &m_impl->admin}) {
    if (l->daemon)
      MHD_stop_daemon(l->daemon);
    else if (l->fd >= 0)
      close(l->fd);
  }
}

bool HttpServer::TlsReady() const { return m_impl->tlsValid; }

int HttpServer::Bind() {
  Impl& d = *m_impl;
  if (!d.tlsValid) return -1;
  d.service.port = d.options.port;
  d.service.fd = ListenOn(d.options.host, d.service.port, static_cast<int>(d.options.limits.queue));
  if (d.service.fd < 0) return -1;
  d.options.port = d.service.port;
  return d.service.port;
}

int HttpServer::BindAdmin(const std::string& host, int port) {
  Listener& l = m_impl->admin;
  l.port = port;
  l.fd = ListenOn(host, l.port, 64);
  return l.fd < 0 ? -1 : l.port;
}

bool HttpServer::Impl::Start(Listener& l) {
  const ConnectionLimits& limits = options.limits;
  const bool tls = !l.admin && !tlsCert.empty();
  unsigned flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL | MHD_USE_ITC | MHD_USE_ERROR_LOG |
                   MHD_USE_SUPPRESS_DATE_NO_CLOCK;
  if (tls) flags |= MHD_USE_TLS;
  // The mirror's requests wait for the upstream, and its downloads for a
  // copy still arriving, out of the event loop.
  if (!l.admin && mirror) flags |= MHD_ALLOW_SUSPEND_RESUME;
  unsigned connectionLimit = l.admin ? kAdminConnections : static_cast<unsigned>(limits.connections);
  std::vector<MHD_OptionItem> items = {
      {MHD_OPTION_EXTERNAL_LOGGER, reinterpret_cast<intptr_t>(&OnLibraryMessage), this},
      {MHD_OPTION_LISTEN_SOCKET, l.fd, nullptr},
      {MHD_OPTION_CONNECTION_LIMIT, connectionLimit, nullptr},
      {MHD_OPTION_PER_IP_CONNECTION_LIMIT, l.admin ? kAdminPerAddress : static_cast<unsigned>(limits.perAddress),
       nullptr},
      {MHD_OPTION_CONNECTION_TIMEOUT, static_cast<unsigned>(limits.idleSeconds), nullptr},
      {MHD_OPTION_CONNECTION_MEMORY_LIMIT, static_cast<intptr_t>(limits.connectionMemory), nullptr},
      {MHD_OPTION_NOTIFY_CONNECTION, reinterpret_cast<intptr_t>(&OnConnection), &l},
      {MHD_OPTION_URI_LOG_CALLBACK, reinterpret_cast<intptr_t>(&OnRequestLine), &l},
      {MHD_OPTION_NOTIFY_COMPLETED, reinterpret_cast<intptr_t>(&OnCompleted), &l},
  };
  if (!l.admin && limits.threads > 1)
    items.push_back({MHD_OPTION_THREAD_POOL_SIZE, static_cast<intptr_t>(limits.threads), nullptr});
  if (tls) {
    items.push_back({MHD_OPTION_HTTPS_MEM_CERT, 0, const_cast<char*>(tlsCert.c_str())});
    items.push_back({MHD_OPTION_HTTPS_MEM_KEY, 0, const_cast<char*>(tlsKey.c_str())});
    items.push_back({MHD_OPTION_HTTPS_PRIORITIES, 0, const_cast<char*>(kTlsPriorities)});
  }
  items.push_back({MHD_OPTION_END, 0, nullptr});
  l.daemon =
      MHD_start_daemon(flags, 0, nullptr, nullptr, &OnRequest, &l, MHD_OPTION_ARRAY, items.data(), MHD_OPTION_END);
  if (l.daemon == nullptr) return false;
  l.fd = -1;  // the library's now
  return true;
}

bool HttpServer::Run() {
  Impl& d = *m_impl;
  if (d.service.fd < 0) return false;
  // Each connection takes a file descriptor: the limit on connections
  // stays below the process's limit on files, so that archives can always
  // be opened.
  rlimit files{};
  if (getrlimit(RLIMIT_NOFILE, &files) == 0) {
    if (files.rlim_cur < files.rlim_max) {
      files.rlim_cur = files.rlim_max;
      setrlimit(RLIMIT_NOFILE, &files);
      getrlimit(RLIMIT_NOFILE, &files);
    }
    const size_t room = files.rlim_cur > kSpareFiles + kAdminConnections
                            ? static_cast<size_t>(files.rlim_cur) - kSpareFiles - kAdminConnections
                            : 16;
    if (d.options.limits.connections > room) {
      Log("connections: at most " + std::to_string(room) + " at once, not " +
          std::to_string(d.options.limits.connections) + ": the limit on open files is " +
          std::to_string(files.rlim_cur));
      d.options.limits.connections = room;
    }
  }
  bool ok = d.Start(d.service) && (d.admin.fd < 0 || d.Start(d.admin));
  if (ok) {
    std::thread keeper([&d] { d.KeepDeadlines(); });
    {
      std::unique_lock<std::mutex> lock(d.runMutex);
      d.runWake.wait(lock, [&d] { return d.stopRequested; });
    }
    d.stopping = true;
    keeper.join();
    // Every connection the mirror holds suspended is handed back before
    // the library stops (it must not stop with any suspended).
    if (d.mirror) d.mirror->Shutdown();
  } else {
    Log("the HTTP library could not start serving");
  }
  for (Listener* l : {&d.service, &d.admin}) {
    if (l->daemon) MHD_stop_daemon(l->daemon);
    l->daemon = nullptr;
  }
  return ok;
}

void HttpServer::Stop() {
  Impl& d = *m_impl;
  d.stopping = true;
  std::lock_guard<std::mutex> lock(d.runMutex);
  d.stopRequested = true;
  d.runWake.notify_all();
}

// Cuts the connections whose request has not arrived in time. The library
// closes a connection after a silence; a client that trickles its request
// a byte at a time is cut here, so that every connection is held for a
// bounded time.
void HttpServer::Impl::KeepDeadlines() {
  while (!stopping) {
    {
      std::unique_lock<std::mutex> lock(runMutex);
      runWake.wait_for(lock, std::chrono::milliseconds(250), [this] { return stopRequested; });
    }
    const auto now = Clock::now();
    std::lock_guard<std::mutex> lock(connectionsMutex);
    for (Connection* conn : open) {
      if (!conn->waiting || conn->cut || now < conn->deadline) continue;
      conn->cut = true;
      ++connections.requestTimeout;
      shutdown(conn->fd, SHUT_RDWR);
    }
  }
}

void HttpServer::Impl::Arrived(MHD_Connection* c) {
  if (Connection* conn = ConnectionOf(c)) {
    std::lock_guard<std::mutex> lock(connectionsMutex);
    conn->waiting = false;
  }
}

void HttpServer::Impl::Reply(MHD_Connection* c, Request& r, int status, const std::string& text, const char* result,
                             const char* allow, const char* contentType) {
  Arrived(c);
  // Refusals are one line; the metrics come as they are.
  const std::string body = status >= 400 ? text + "\n" : text;
  MHD_Response* response =
      MHD_create_response_from_buffer(body.size(), const_cast<char*>(body.data()), MHD_RESPMEM_MUST_COPY);
  if (response == nullptr) return;
  MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, contentType);
  if (allow) MHD_add_response_header(response, MHD_HTTP_HEADER_ALLOW, allow);
  // Answered from its head: a body that was not read must not be taken
  // for the next request, so the connection ends here (as the library
  // would end it anyway).
  MHD_add_response_header(response, MHD_HTTP_HEADER_CONNECTION, "close");
  if (MHD_queue_response(c, static_cast<unsigned>(status), response) == MHD_YES) {
    r.status = status;
    r.bytes = body.size();
    if (r.result.empty()) r.result = result;
  }
  MHD_destroy_response(response);
}

// The request head is complete: everything the protocol never sends is
// refused here, before any of a body is read.
void HttpServer::Impl::Head(Listener& l, MHD_Connection* c, Request& r, const char* method) {
  auto header = [c](const char* name) { return MHD_lookup_connection_value(c, MHD_HEADER_KIND, name); };
  const char* length = header(MHD_HTTP_HEADER_CONTENT_LENGTH);
  const char* transfer = header(MHD_HTTP_HEADER_TRANSFER_ENCODING);
  const char* encoding = header(MHD_HTTP_HEADER_CONTENT_ENCODING);
  const bool post = std::strcmp(method, MHD_HTTP_METHOD_POST) == 0;
  const bool body = transfer || encoding || (length && std::strcmp(length, "0") != 0);
  const std::string path = r.target.substr(0, r.target.find('?'));
  if (l.admin) {
    if (path != "/metrics") return Reply(c, r, 404, "Not found.", "not-found");
    if (std::strcmp(method, MHD_HTTP_METHOD_GET) != 0)
      return Reply(c, r, 405, "Only GET is accepted here.", "bad-method", "GET");
    if (body) return Reply(c, r, 400, "A GET request has no body.", "bad-request");
    return Reply(c, r, 200, metrics.Render(connections, stats), "metrics", nullptr, "text/plain; version=0.0.4");
  }
  if (path != options.path) return Reply(c, r, 404, "Not found.", "not-found");
  if (!post) return Reply(c, r, 405, "Only POST is accepted here.", "bad-method", "POST");
  if (transfer || !length) return Reply(c, r, 411, "A request body needs a Content-Length.", "bad-request");
  if (encoding) return Reply(c, r, 415, "The request body must not be encoded.", "bad-request");
  // One length only: a proxy that read the other one would take a part of
  // the body for the next request.
  unsigned lengths = 0;
  MHD_get_connection_values(
      c, MHD_HEADER_KIND,
      [](void* count, MHD_ValueKind, const char* key, const char*) {
        *static_cast<unsigned*>(count) += strcasecmp(key, MHD_HTTP_HEADER_CONTENT_LENGTH) == 0;
        return MHD_YES;
      },
      &lengths);
  const std::string_view declared(length);
  if (lengths != 1 || declared.empty() || declared.size() > 18 ||
      declared.find_first_not_of("0123456789") != std::string::npos)
    return Reply(c, r, 400, "Bad Content-Length.", "bad-request");
  const unsigned long long bytes = std::strtoull(length, nullptr, 10);
  if (bytes > kMaxRequestBody) return Reply(c, r, 413, "The request body is too large.", "bad-request");
  r.body.reserve(static_cast<size_t>(bytes));
}

void HttpServer::Impl::Serve(MHD_Connection* c, Request& r) {
  const size_t q = r.target.find('?');
  const std::string_view query = q == std::string::npos ? std::string_view() : std::string_view(r.target).substr(q + 1);
  if (r.relay) {
    // The mirror has answered (the connection was resumed for it).
    r.suspended = false;
    ServiceReply reply;
    {
      std::lock_guard<std::mutex> lock(r.relay->mutex);
      if (!r.relay->done) return Reply(c, r, 500, "Internal server error.", "internal-error");
      reply = std::move(r.relay->reply);
    }
    return Send(c, r, std::move(reply));
  }
  if (mirror) {
    ServiceReply now;
    const char* agent = MHD_lookup_connection_value(c, MHD_HEADER_KIND, MHD_HTTP_HEADER_USER_AGENT);
    auto pending = mirror->Prepare(query, r.body, agent ? agent : "", now);
    if (!pending) return Send(c, r, std::move(now));
    auto relay = std::make_shared<Request::Relay>();
    r.relay = relay;
    r.suspended = true;
    Arrived(c);
    // Suspended before the mirror can answer, so that the resume always
    // comes after it.
    MHD_suspend_connection(c);
    mirror->Relay(std::move(pending), [relay, c](ServiceReply reply) {
      {
        std::lock_guard<std::mutex> lock(relay->mutex);
        relay->reply = std::move(reply);
        relay->done = true;
      }
      MHD_resume_connection(c);
    });
    return;
  }
  std::shared_ptr<const Catalog> current;
  {
    std::lock_guard<std::mutex> lock(catalogMutex);
    current = catalog;
  }
  Send(c, r, HandleServiceRequest(*current, query, r.body, digests));
}

void HttpServer::Impl::Send(MHD_Connection* c, Request& r, ServiceReply reply) {
  r.function = reply.function;
  r.updateVersion = reply.updateVersion;
  r.tableId = reply.tableId;
  r.result = reply.result;
  r.accepted = reply.httpStatus == 200 && reply.result.rfind("ACCEPTED", 0) == 0;
  if (stats && r.accepted) {
    r.identity = reply.identity.Hash();
    if (const auto v = ParseVersion(reply.updateVersion)) r.installed = FormatVersion(*v);
    for (uint32_t id : reply.offered) r.offered += (r.offered.empty() ? "" : ",") + std::to_string(id);
    r.updateId = reply.updateId;
    r.brings = reply.brings;
  }
  if (!reply.IsDownload()) {
    // The service's texts carry their own line end where they need one.
    Arrived(c);
    MHD_Response* response =
        MHD_create_response_from_buffer(reply.body.size(), reply.body.data(), MHD_RESPMEM_MUST_COPY);
    if (response == nullptr) return;
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, reply.contentType.c_str());
    if (MHD_queue_response(c, static_cast<unsigned>(reply.httpStatus), response) == MHD_YES) {
      r.status = reply.httpStatus;
      r.bytes = reply.body.size();
    }
    MHD_destroy_response(response);
    return;
  }
  Arrived(c);
  auto download = std::make_shared<Download>();
  download->total = reply.ContentLength();
  download->start = reply.filepos;
  download->length = reply.length;
  download->head = std::move(reply.body);
  download->archive = std::move(reply.archive);
  download->source = std::move(reply.source);
  if (download->source) download->waiter = std::make_shared<ConnectionWaiter>(c);
  download->stopping = &stopping;
  auto* held = new std::shared_ptr<Download>(download);
  MHD_Response* response =
      MHD_create_response_from_callback(download->total, kStreamBlock, &ReadDownload, held, &FreeDownload);
  if (response == nullptr) {
    delete held;
    return;
  }
  MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, reply.contentType.c_str());
  // A client reading slowly is served to the end, as long as it reads.
  MHD_set_connection_option(c, MHD_CONNECTION_OPTION_TIMEOUT, static_cast<unsigned>(options.limits.writeSeconds));
  if (MHD_queue_response(c, 200, response) == MHD_YES) {
    r.status = 200;
    r.download = download;
    metrics.DownloadStarted();
  }
  MHD_destroy_response(response);
}

void HttpServer::Impl::WriteLog(MHD_Connection* c, Request& r, MHD_RequestTerminationCode how) {
  if (r.status == 0) {
    // Refused by the library before the request reached the server: only
    // a head too large for the connection's memory is worth a line.
    const MHD_ConnectionInfo* info = MHD_get_connection_info(c, MHD_CONNECTION_INFO_HTTP_STATUS);
    if (how != MHD_REQUEST_TERMINATED_WITH_ERROR || info == nullptr || info->http_status < 400) return;
    r.status = static_cast<int>(info->http_status);
    r.result = r.status == 431 ? "header-too-large" : "bad-request";
  }
  uint64_t bytes = r.bytes;
  std::string result = r.result.empty() ? "http-" + std::to_string(r.status) : r.result;
  bool complete = true;
  if (r.download) {
    metrics.DownloadEnded();
    Download& d = *r.download;
    complete = how == MHD_REQUEST_TERMINATED_COMPLETED_OK && !d.changed && !d.failed;
    bytes = complete ? d.total : std::min(d.provided, d.total);
    if (d.changed) result = "error: the archive changed during the download";
    if (!complete) result += " (aborted)";
  }
  metrics.CountRequest(r.function, r.status, result, bytes);
  if (stats && r.accepted) {
    StatsEvent event;
    event.atMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
            .count();
    event.replica = options.replica;
    event.installed = std::move(r.installed);
    event.identity = std::move(r.identity);
    if (r.download) {
      const uint64_t head = r.download->head.size();
      event.kind = StatsEvent::kDownload;
      event.updateId = r.updateId;
      event.brings = std::move(r.brings);
      event.size = r.download->length;
      event.bytes = bytes > head ? bytes - head : 0;
      event.complete = complete;
    } else {
      event.offered = std::move(r.offered);
    }
    stats->Record(std::move(event));
  }
  WriteLine(ClientOf(c), r.status, r.function, r.updateVersion, r.tableId, result, bytes, MillisecondsSince(r.start));
}

void HttpServer::Impl::WriteLine(const std::string& client, int status, const std::string& function,
                                 const std::string& version, const std::string& tableId, const std::string& result,
                                 uint64_t bytes, long long ms) {
  const std::string line = TimeStamp() + " " + client + " " + std::to_string(status) + " " + LogField(function) +
                           " updateversion=" + LogField(version) + " TableID=" + LogField(tableId) + " result=\"" +
                           result + "\" bytes=" + std::to_string(bytes) + " ms=" + std::to_string(ms) + "\n";
  std::lock_guard<std::mutex> lock(logMutex);
  std::fwrite(line.data(), 1, line.size(), log);
  std::fflush(log);
}

// The library's messages: connections refused at the limits are counted
// and reported at most every 10 s; anything else goes to the log, at most
// kLibraryLinesPerTenSeconds lines every 10 s, so that clients cannot
// flood it.
void HttpServer::Impl::LibraryMessage(const std::string& text) {
  std::string line;
  {
    std::lock_guard<std::mutex> lock(libraryMutex);
    const auto now = Clock::now();
    if (text.rfind("Server reached connection limit", 0) == 0) {
      ++connections.refusedAtLimit;
      ++refusedSinceReport;
      if (now - lastRefusalReport < std::chrono::seconds(10)) return;
      line = "busy: refused " + std::to_string(refusedSinceReport) +
             " connections since the last report: too many from one address, or all connections taken";
      refusedSinceReport = 0;
      lastRefusalReport = now;
    } else {
      if (now - libraryWindow >= std::chrono::seconds(10)) {
        if (librarySuppressed > 0)
          line = "http: " + std::to_string(librarySuppressed) + " more messages of the HTTP library left out\n";
        libraryWindow = now;
        libraryLines = 0;
        librarySuppressed = 0;
      }
      if (++libraryLines > kLibraryLinesPerTenSeconds) {
        ++librarySuppressed;
        return;
      }
      std::string trimmed = text;
      while (!trimmed.empty() && (trimmed.back() == '\n' || trimmed.back() == ' ')) trimmed.pop_back();
      for (char& ch : trimmed)
        if (static_cast<unsigned char>(ch) < 0x20 || ch == 0x7F) ch = '?';
      line += "http: " + trimmed.substr(0, 200);
    }
  }
  std::string lines;
  for (size_t p = 0; p < line.size();) {
    const size_t nl = line.find('\n', p);
    lines += TimeStamp() + " " + line.substr(p, nl == std::string::npos ? std::string::npos : nl - p) + "\n";
    p = nl == std::string::npos ? line.size() : nl + 1;
  }
  std::lock_guard<std::mutex> lock(logMutex);
  std::fwrite(lines.data(), 1, lines.size(), log);
  std::fflush(log);
}

void HttpServer::ReplaceCatalog(std::shared_ptr<const Catalog> catalog) {
  std::lock_guard<std::mutex> lock(m_impl->catalogMutex);
  m_impl->catalog = std::move(catalog);
}

std::shared_ptr<const Catalog> HttpServer::CurrentCatalog() const {
  std::lock_guard<std::mutex> lock(m_impl->catalogMutex);
  return m_impl->catalog;
}

void HttpServer::SetStats(StatsRecorder* stats) { m_impl->stats = stats; }

void HttpServer::SetDigests(ArchiveDigests* digests) { m_impl->digests = digests; }

void HttpServer::SetMirror(Mirror* mirror) { m_impl->mirror = mirror; }

void HttpServer::SetReplica(const std::string& name) { m_impl->options.replica = name; }

std::string HttpServer::RenderMetrics() const { return m_impl->metrics.Render(m_impl->connections, m_impl->stats); }

void HttpServer::Log(const std::string& line) const {
  const std::string text = TimeStamp() + " " + line + "\n";
  std::lock_guard<std::mutex> lock(m_impl->logMutex);
  std::fwrite(text.data(), 1, text.size(), m_impl->log);
  std::fflush(m_impl->log);
}

}  // namespace quon::server
