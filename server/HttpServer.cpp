#include "HttpServer.h"

#include <httplib.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <ctime>
#include <mutex>
#include <vector>

#include "UpdateService.h"

namespace quon::server {

namespace {

using Clock = std::chrono::steady_clock;

// What the log line of the request being served on this thread says. A
// request is served start to end by one worker thread: routing, handler,
// streaming and the log call.
struct RequestRecord {
  bool started = false;
  Clock::time_point start;
  std::string function;
  std::string updateVersion;
  std::string tableId;
  std::string result;
  bool streamed = false;
  uint64_t streamedBytes = 0;
  uint64_t expectedBytes = 0;
  uint64_t headBytes = 0;
  // For the figures.
  bool accepted = false;
  std::string identity;
  std::string installed;
  std::string offered;
  uint32_t updateId = 0;
  std::string brings;
};
thread_local RequestRecord t_record;

constexpr size_t kStreamBlock = 256 * 1024;

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
  std::tm tm {};
  gmtime_r(&t, &tm);
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900, tm.tm_mon + 1,
                tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(ms));
  return buf;
}

const char* StatusText(int status) {
  switch (status) {
    case 400: return "Bad request.";
    case 404: return "Not found.";
    case 405: return "Method not allowed.";
    case 408: return "Request timeout.";
    case 411: return "Length required.";
    case 413: return "The request body is too large.";
    case 414: return "The request target is too long.";
    case 416: return "Range not satisfiable.";
    default: return status >= 500 ? "Internal server error." : "The request cannot be served.";
  }
}

void SetText(httplib::Response& res, int status, const std::string& text) {
  res.status = status;
  res.set_content(text + "\n", "text/plain");
}

}  // namespace

struct HttpServer::Impl {
  ServerOptions options;
  std::FILE* log;
  mutable std::mutex catalogMutex;
  std::shared_ptr<const Catalog> catalog;
  mutable std::mutex logMutex;
  // An SSLServer when the options name a certificate and key.
  std::unique_ptr<httplib::Server> http;
  std::shared_ptr<const ConnectionCounters> connections;
  StatsRecorder* stats = nullptr;
  Metrics metrics;
  bool valid = true;
  bool bound = false;
  std::atomic<bool> stopping{false};  // downloads under way end at their next block

  void Serve(const httplib::Request& req, httplib::Response& res);
  void WriteLog(const httplib::Request& req, const httplib::Response& res);
};

HttpServer::HttpServer(ServerOptions options, std::shared_ptr<const Catalog> catalog, std::FILE* log)
    : m_impl(std::make_unique<Impl>()) {
  Impl& d = *m_impl;
  d.options = std::move(options);
  d.log = log;
  d.catalog = std::move(catalog);
  // Connections are admitted, read and timed by the gate (Connections.h);
  // the library parses requests and writes replies.
  d.http = MakeGuardedServer(
      d.options.limits, [this](const std::string& line) { Log(line); },
      [&d](const std::string& ip, int port) {
        httplib::Request req;
        req.remote_addr = ip;
        req.remote_port = port;
        d.WriteLog(req, httplib::Response());
      },
      d.options.tlsCertFile, d.options.tlsKeyFile, d.connections);
  d.valid = d.http->is_valid();
  d.http->set_tcp_nodelay(true);
  // Address reuse for quick restarts, but no port sharing: a second server
  // on the same port must fail instead of taking half of the requests.
  d.http->set_socket_options([](int sock) {
    int yes = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  });
  d.http->set_payload_max_length(kMaxRequestBody);

  d.http->set_pre_routing_handler([](const httplib::Request& req, httplib::Response& res) {
    t_record = RequestRecord();
    t_record.started = true;
    t_record.start = Clock::now();
    if (req.method != "POST") return httplib::Server::HandlerResponse::Unhandled;
    // The body is read only when its length is declared and small: a body
    // without a length would be read until the client stops sending.
    if (req.has_header("Transfer-Encoding") || !req.has_header("Content-Length")) {
      SetText(res, 411, "A request body needs a Content-Length.");
      t_record.result = "bad-request";
      return httplib::Server::HandlerResponse::Handled;
    }
    const std::string length = req.get_header_value("Content-Length");
    if (length.empty() || length.size() > 18 || length.find_first_not_of("0123456789") != std::string::npos) {
      SetText(res, 400, "Bad Content-Length.");
      t_record.result = "bad-request";
      return httplib::Server::HandlerResponse::Handled;
    }
    // A body over the limit is refused by the library itself (413); it is
    // never kept in memory.
    return httplib::Server::HandlerResponse::Unhandled;
  });

  d.http->Post(".*", [&d](const httplib::Request& req, httplib::Response& res) { d.Serve(req, res); });
  auto notAllowed = [&d](const httplib::Request& req, httplib::Response& res) {
    if (req.path == d.options.path) {
      res.set_header("Allow", "POST");
      SetText(res, 405, "Only POST is accepted here.");
      t_record.result = "bad-method";
    } else {
      SetText(res, 404, "Not found.");
      t_record.result = "not-found";
    }
  };
  d.http->Get(".*", notAllowed);
  d.http->Put(".*", notAllowed);
  d.http->Patch(".*", notAllowed);
  d.http->Delete(".*", notAllowed);
  d.http->Options(".*", notAllowed);

  d.http->set_error_handler(httplib::Server::HandlerWithResponse([](const httplib::Request&, httplib::Response& res) {
    if (!res.body.empty() || res.content_provider_) return httplib::Server::HandlerResponse::Unhandled;
    SetText(res, res.status, StatusText(res.status));
    return httplib::Server::HandlerResponse::Handled;
  }));
  d.http->set_exception_handler([](const httplib::Request&, httplib::Response& res, std::exception_ptr) {
    SetText(res, 500, "Internal server error.");
    t_record.result = "internal-error";
  });
  d.http->set_logger([&d](const httplib::Request& req, const httplib::Response& res) { d.WriteLog(req, res); });
}

HttpServer::~HttpServer() = default;

void HttpServer::Impl::Serve(const httplib::Request& req, httplib::Response& res) {
  if (req.path != options.path) {
    SetText(res, 404, "Not found.");
    t_record.result = "not-found";
    return;
  }
  std::string_view query;
  const size_t q = req.target.find('?');
  if (q != std::string::npos) query = std::string_view(req.target).substr(q + 1);

  std::shared_ptr<const Catalog> current;
  {
    std::lock_guard<std::mutex> lock(catalogMutex);
    current = catalog;
  }
  ServiceReply reply = HandleServiceRequest(*current, query, req.body);
  t_record.function = reply.function;
  t_record.updateVersion = reply.updateVersion;
  t_record.tableId = reply.tableId;
  t_record.result = reply.result;
  t_record.accepted = reply.httpStatus == 200 && reply.result.rfind("ACCEPTED", 0) == 0;
  if (stats && t_record.accepted) {
    t_record.identity = reply.identity.Hash();
    if (const auto v = ParseVersion(reply.updateVersion)) t_record.installed = FormatVersion(*v);
    for (uint32_t id : reply.offered) t_record.offered += (t_record.offered.empty() ? "" : ",") + std::to_string(id);
    t_record.updateId = reply.updateId;
    t_record.brings = reply.brings;
  }

  res.status = reply.httpStatus;
  if (!reply.archive) {
    res.set_content(reply.body, reply.contentType);
    return;
  }
  // The head (BytesCount header and header text), then the archive from
  // disk block by block; the length is known, so HTTP/1.0 clients get a
  // Content-Length too.
  const uint64_t total = reply.ContentLength();
  t_record.streamed = true;
  t_record.expectedBytes = total;
  t_record.headBytes = reply.body.size();
  metrics.DownloadStarted();
  auto head = std::make_shared<std::string>(std::move(reply.body));
  auto archive = reply.archive;
  std::atomic<bool>* stop = &stopping;
  res.set_content_provider(
      static_cast<size_t>(total), reply.contentType,
      [head, archive, stop](size_t offset, size_t length, httplib::DataSink& sink) {
        if (*stop) return false;
        thread_local std::vector<char> buffer(kStreamBlock);
        size_t filled = 0;
        if (offset < head->size()) {
          filled = std::min(head->size() - offset, length);
          std::copy_n(head->data() + offset, filled, buffer.data());
        }
        const size_t want = std::min(length, buffer.size()) - filled;
        if (want > 0) {
          const uint64_t fileOffset = offset + filled - head->size();
          const long got = archive->ReadAt(buffer.data() + filled, want, fileOffset);
          if (got <= 0 && filled == 0) return false;  // the archive shrank or cannot be read
          if (got > 0) filled += static_cast<size_t>(got);
        }
        if (!sink.write(buffer.data(), filled)) return false;
        t_record.streamedBytes += filled;
        return true;
      });
}

void HttpServer::Impl::WriteLog(const httplib::Request& req, const httplib::Response& res) {
  RequestRecord record = std::move(t_record);
  t_record = RequestRecord();
  // A request that the connection layer refused while it was read: the
  // library saw a broken request, the client got this status.
  int status = res.status;
  if (const int verdict = TakeConnectionVerdict()) {
    status = verdict;
    record.result = verdict == 431 ? "header-too-large" : "request-timeout";
  }
  const long long ms = record.started
      ? std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - record.start).count()
      : 0;
  uint64_t bytes = record.streamed ? record.streamedBytes : res.body.size();
  std::string result = record.result.empty() ? "http-" + std::to_string(status) : record.result;
  if (record.streamed && record.streamedBytes < record.expectedBytes) result += " (aborted)";
  if (req.method == "HEAD") bytes = 0;
  if (record.streamed) metrics.DownloadEnded();
  metrics.CountRequest(record.function, status, result, bytes);
  if (stats && record.accepted) {
    StatsEvent event;
    event.atMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
            .count();
    event.replica = options.replica;
    event.installed = std::move(record.installed);
    event.identity = std::move(record.identity);
    if (record.streamed) {
      event.kind = StatsEvent::kDownload;
      event.updateId = record.updateId;
      event.brings = std::move(record.brings);
      event.size = record.expectedBytes - record.headBytes;
      event.bytes = record.streamedBytes > record.headBytes ? record.streamedBytes - record.headBytes : 0;
      event.complete = record.streamedBytes == record.expectedBytes;
    } else {
      event.offered = std::move(record.offered);
    }
    stats->Record(std::move(event));
  }
  std::string client = req.remote_addr.empty() ? "-" : req.remote_addr + ":" + std::to_string(req.remote_port);
  std::string line = TimeStamp() + " " + client + " " + std::to_string(status) + " " + LogField(record.function) +
                     " updateversion=" + LogField(record.updateVersion) + " TableID=" + LogField(record.tableId) +
                     " result=\"" + result + "\" bytes=" + std::to_string(bytes) + " ms=" + std::to_string(ms) + "\n";
  std::lock_guard<std::mutex> lock(logMutex);
  std::fwrite(line.data(), 1, line.size(), log);
  std::fflush(log);
}

int HttpServer::Bind() {
  Impl& d = *m_impl;
  if (!d.valid) return -1;
  if (d.options.port == 0) {
    const int port = d.http->bind_to_any_port(d.options.host);
    if (port <= 0) return -1;
    d.options.port = port;
  } else if (!d.http->bind_to_port(d.options.host, d.options.port)) {
    return -1;
  }
  d.bound = true;
  return d.options.port;
}

bool HttpServer::TlsReady() const { return m_impl->valid; }

bool HttpServer::Run() { return m_impl->bound && m_impl->http->listen_after_bind(); }

void HttpServer::Stop() {
  m_impl->stopping = true;
  m_impl->http->stop();
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

void HttpServer::SetReplica(const std::string& name) { m_impl->options.replica = name; }

std::string HttpServer::RenderMetrics() const { return m_impl->metrics.Render(*m_impl->connections, m_impl->stats); }

void HttpServer::Log(const std::string& line) const {
  const std::string text = TimeStamp() + " " + line + "\n";
  std::lock_guard<std::mutex> lock(m_impl->logMutex);
  std::fwrite(text.data(), 1, text.size(), m_impl->log);
  std::fflush(m_impl->log);
}

}  // namespace quon::server
