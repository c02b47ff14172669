#include "Mirror.h"

#include <curl/curl.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "MirrorCache.h"
#include "MirrorWire.h"
#include "net/FieldMap.h"

namespace quon::server {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::string_view kFileFunction = "GetUpgradeFile";
// What the mirror reads of an upstream reply besides an archive: the HTTP
// head, a file reply's header text, a text for the user, a list reply.
constexpr size_t kMaxHttpHead = 64 * 1024;
constexpr uint32_t kMaxHeaderText = 64 * 1024;
constexpr size_t kMaxText = 64 * 1024;
constexpr size_t kMaxListReply = 1 << 20;
// Requests waiting for a connection to the upstream; beyond, a request is
// answered at once as if the upstream could not be reached.
constexpr size_t kMaxWaiting = 1024;

// Upstream text in a log line: one line, no quotes, bounded.
std::string LogText(std::string_view text, size_t max = 80) {
  std::string out;
  for (char c : text.substr(0, max)) {
    const auto u = static_cast<unsigned char>(c);
    out += (u < 0x20 || u == 0x7F || c == '"' || c == '\\') ? '?' : c;
  }
  if (text.size() > max) out += "...";
  return out;
}

// What the upstream gets as user agent: the client's, when it is a short
// plain text.
std::string AgentOf(std::string_view agent) {
  if (agent.empty() || agent.size() > 200) return "QuonUpdate";
  for (char c : agent) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u >= 0x7F) return "QuonUpdate";
  }
  return std::string(agent);
}

}  // namespace

struct Mirror::Pending {
  bool file = false;
  std::string function;
  std::string body;  // a list request's, as it came
  FieldMap fields;   // decoded
  std::string userAgent;
  ServiceReply base;  // the log's and the figures' fields
  uint32_t id = 0;
  std::function<void(ServiceReply)> done;
  Clock::time_point queued;
  bool answered = false;

  void Answer(ServiceReply reply) {
    if (answered) return;
    answered = true;
    done(std::move(reply));
  }
};

namespace {

ServiceReply Unreachable(const Mirror::Pending& p, const std::string& why) {
  ServiceReply r = p.base;
  r.httpStatus = 200;
  r.contentType = "text/plain";
  r.body = kUpstreamUnreachable;
  r.result = "refused: upstream unreachable (" + LogText(why) + ")";
  return r;
}

// One exchange with the upstream on a worker's handle.
struct Transfer {
  const std::atomic<bool>* stopping = nullptr;
  Clock::time_point headDeadline;
  bool headRead = false;  // from then on only a stall ends the transfer
  size_t httpHead = 0;
  std::function<size_t(const char*, size_t)> onBody;
  char error[CURL_ERROR_SIZE] = {};
};

size_t OnCurlBody(char* data, size_t size, size_t n, void* user) {
  return static_cast<Transfer*>(user)->onBody(data, size * n);
}

size_t OnCurlHeader(char*, size_t size, size_t n, void* user) {
  auto& t = *static_cast<Transfer*>(user);
  t.httpHead += size * n;
  return t.httpHead > kMaxHttpHead ? 0 : size * n;
}

int OnCurlProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  auto& t = *static_cast<Transfer*>(user);
  if (*t.stopping) return 1;
  if (!t.headRead && Clock::now() > t.headDeadline) {
    std::snprintf(t.error, sizeof t.error, "no reply in time");
    return 1;
  }
  return 0;
}

}  // namespace

struct Mirror::Impl {
  MirrorOptions options;
  Log log;
  std::unique_ptr<MirrorCache> cache;
  mutable std::mutex approvedMutex;
  std::shared_ptr<const ApprovedSet> approved;  // null: every update
  std::atomic<UpstreamResumes> resumes{UpstreamResumes::kUnknown};

  std::mutex queueMutex;
  std::condition_variable queueWake;
  std::condition_variable sweepWake;
  std::deque<PendingPtr> queue;
  std::vector<std::thread> workers;
  std::thread sweeper;
  std::atomic<bool> stopping{false};
  bool stopped = false;

  std::shared_ptr<const ApprovedSet> Approved() const {
    std::lock_guard<std::mutex> lock(approvedMutex);
    return approved;
  }

  CURLcode Perform(CURL* curl, Transfer& t, const std::string& function, const std::string& body,
                   const std::string& agent) {
    curl_easy_reset(curl);  // keeps the connection to the upstream for the next exchange
    const std::string url = options.upstream + "?" + function;
    curl_slist* headers = curl_slist_append(nullptr, "Content-Type: application/x-quon-encoded");
    headers = curl_slist_append(headers, "Expect:");
    headers = curl_slist_append(headers, ("User-Agent: " + agent).c_str());
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_1);
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.data());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, static_cast<long>(options.connectSeconds));
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, static_cast<long>(options.stallSeconds));
    // No proxy from the environment: the mirror's own, or none.
    curl_easy_setopt(curl, CURLOPT_PROXY, options.upstreamProxy.c_str());
    if (!options.upstreamCa.empty()) curl_easy_setopt(curl, CURLOPT_CAINFO, options.upstreamCa.c_str());
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &OnCurlBody);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &t);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, &OnCurlHeader);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, &t);
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, &OnCurlProgress);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &t);
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, t.error);
    t.stopping = &stopping;
    t.headDeadline = Clock::now() + std::chrono::seconds(options.headSeconds);
    const CURLcode rc = curl_easy_perform(curl);
    curl_slist_free_all(headers);
    if (rc != CURLE_OK && t.error[0] == '\0') std::snprintf(t.error, sizeof t.error, "%s", curl_easy_strerror(rc));
    return rc;
  }

  // A text the upstream answered instead of a list or a file, with its
  // status: passed on as it is.
  ServiceReply RelayText(const Pending& p, long status, std::string text) {
    ServiceReply r = p.base;
    if (status < 200 || status > 599) return Unreachable(p, "HTTP status " + std::to_string(status));
    r.httpStatus = static_cast<int>(status);
    r.contentType = "text/plain";
    r.result =
        status / 100 == 2 ? "refused: upstream: " + LogText(text, 60) : "relayed: http-" + std::to_string(status);
    r.body = std::move(text);
    return r;
  }

  void RunList(CURL* curl, Pending& p) {
    std::string reply;
    bool tooLong = false;
    Transfer t;
    t.onBody = [&](const char* data, size_t n) -> size_t {
      if (reply.size() + n > kMaxListReply) {
        tooLong = true;
        return 0;
      }
      reply.append(data, n);
      return n;
    };
    const CURLcode rc = Perform(curl, t, p.function, p.body, p.userAgent);
    if (rc != CURLE_OK) return p.Answer(Unreachable(p, tooLong ? "a list reply over 1 MiB" : t.error));
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    if (status / 100 != 2) return p.Answer(RelayText(p, status, std::move(reply)));
    const auto approvedNow = Approved();
    auto relay = RelayListReply(reply, approvedNow.get());
    if (!relay) return p.Answer(Unreachable(p, "a list reply whose rows cannot be read"));
    ServiceReply r = p.base;
    r.body = std::move(relay->reply);
    if (relay->status == "ACCEPTED") {
      r.result = "ACCEPTED rows=" + std::to_string(relay->listed.size());
      r.offered = std::move(relay->listed);
    } else {
      r.result = "refused: upstream: " + LogText(r.body, 60);
    }
    p.Answer(std::move(r));
  }

  void RunFile(CURL* curl, Pending& p) {
    bool asking = false;
    const auto held = cache->Newest(p.id, Clock::now() + std::chrono::seconds(options.headSeconds), asking);
    auto endAsking = [&] {
      if (asking) cache->EndAsking(p.id);
      asking = false;
    };
    const UpstreamResumeAsk ask = PlanUpstreamResume(held ? &*held : nullptr, resumes.load());
    // The client's own fields; its resume fields are answered here, from
    // the cache, and the upstream is asked from the copy held instead.
    FieldMap fields = p.fields;
    fields.Remove("resumefrom");
    fields.Remove("sha256");
    if (ask.ask) {
      fields.Set("resumefrom", std::to_string(ask.from));
      fields.Set("sha256", ask.sha256);
    }
    const std::string body = std::string(kFileFunction) + EncodeFields(fields, true);
    const std::string& code = *p.fields.Find("code");

    enum Phase { kStart, kHeader, kText, kData, kEnd } phase = kStart;
    std::string collected;
    uint32_t headerLength = 0;
    std::string problem;
    std::shared_ptr<CacheFill> fill;
    uint64_t expected = 0, received = 0;
    long status = 0;
    const auto started = Clock::now();
    Transfer t;

    auto serve = [&](const UpstreamFileHeader& h, const ArchiveMeta& meta, std::shared_ptr<ReplySource> source,
                     const char* how) {
      const ResumeDecision resume =
          NegotiateResume(p.fields.Find("resumefrom"), p.fields.Find("sha256"), meta.sha256, h.length);
      ServiceReply r = p.base;
      r.body = FileReplyHead(ClientFileHeader(h, resume.filepos, h.length, meta.sha256));
      r.source = std::move(source);
      r.filepos = resume.filepos;
      r.length = h.length;
      r.contentType = "application/octet-stream";
      r.result = DownloadResult(resume, how);
      r.updateId = p.id;
      r.brings = h.updateVersion;
      p.Answer(std::move(r));
    };

    // The header has been read: the client's reply is decided here.
    auto onHeader = [&]() -> bool {
      t.headRead = true;
      std::string text = collected.substr(14);
      text = text.substr(0, text.find('\0'));
      UpstreamFileHeader h;
      std::string why;
      if (text.compare(0, kFileFunction.size(), kFileFunction) != 0) {
        problem = "a header text without GetUpgradeFile";
        return false;
      }
      if (!ReadFileHeader(std::string_view(text).substr(kFileFunction.size()), h, why)) {
        problem = "a header with " + why;
        return false;
      }
      if (h.code != code) {
        problem = "a header with another code";
        return false;
      }
      if (!h.Accepted()) {
        // A refusal in the file layout: the client gets the header, which
        // the updater judges by its status.
        endAsking();
        ServiceReply r = p.base;
        r.body = FileReplyHead(text);
        r.contentType = "application/octet-stream";
        r.result = "refused: upstream status=" + LogText(h.status, 40);
        p.Answer(std::move(r));
        phase = kEnd;
        return true;
      }
      resumes = h.resume && !h.sha256.empty() ? UpstreamResumes::kYes : UpstreamResumes::kNo;
      ArchiveMeta meta;
      bool complete = false;
      auto source = cache->OpenMatching(p.id, h, meta, complete);
      switch (JudgeHeader(h, source != nullptr)) {
        case HeaderVerdict::kServeHeld:
          endAsking();
          serve(h, meta, std::move(source), complete ? "cache=hit" : "cache=shared");
          phase = kEnd;
          return true;
        case HeaderVerdict::kFetch:
          meta = ArchiveMeta{p.id, h.updateVersion, h.length, h.sha256, !h.sha256.empty()};
          fill = cache->StartFill(meta);
          endAsking();
          if (!fill) {
            problem = "no room in the cache";
            return false;
          }
          serve(h, meta, fill->Reader(), "cache=fill");
          expected = h.length;
          phase = kData;
          return true;
        case HeaderVerdict::kRelayHeader:
        case HeaderVerdict::kBad:
          break;
      }
      problem = "a part of an archive that the mirror does not hold (filepos " + std::to_string(h.filepos) + ")";
      return false;
    };

    t.onBody = [&](const char* data, size_t n) -> size_t {
      if (status == 0) curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
      size_t used = 0;
      while (used < n) {
        const char* q = data + used;
        const size_t left = n - used;
        switch (phase) {
          case kStart: {
            if (status / 100 != 2) {
              phase = kText;
              break;
            }
            const size_t take = std::min(left, 14 - collected.size());
            collected.append(q, take);
            used += take;
            const size_t shown = std::min<size_t>(collected.size(), 10);
            if (collected.compare(0, shown, "BytesCount", shown) != 0) {
              phase = kText;  // a text for the user
            } else if (collected.size() == 14) {
              for (int i = 3; i >= 0; --i)
                headerLength = (headerLength << 8) | static_cast<unsigned char>(collected[10 + i]);
              if (headerLength == 0 || headerLength > kMaxHeaderText) {
                problem = "a header text of " + std::to_string(headerLength) + " bytes";
                return 0;
              }
              phase = kHeader;
            }
            break;
          }
          case kHeader: {
            const size_t take = std::min<size_t>(left, 14 + headerLength - collected.size());
            collected.append(q, take);
            used += take;
            if (collected.size() == 14 + headerLength && !onHeader()) return 0;
            break;
          }
          case kText:
            if (collected.size() + left > kMaxText) {
              problem = "a reply text over 64 KiB";
              return 0;
            }
            collected.append(q, left);
            used = n;
            break;
          case kData:
            if (left > expected - received) {
              problem = "more bytes than the " + std::to_string(expected) + " announced";
              return 0;
            }
            if (!fill->Append(q, left)) {
              problem = "the copy failed";
              return 0;
            }
            received += left;
            used = n;
            break;
          case kEnd:
            // The archive is served from the cache: the upstream's
            // transfer ends here.
            return 0;
        }
      }
      return n;
    };

    const CURLcode rc = Perform(curl, t, p.function, body, p.userAgent);
    if (status == 0) curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    endAsking();
    if (phase == kData) {
      // The client was answered at the header; the copy is kept only
      // complete and right.
      std::string why;
      const bool whole = rc == CURLE_OK && received == expected;
      const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
      if (fill->Finish(whole, why)) {
        char line[160];
        std::snprintf(line, sizeof line, "cache: update %u kept, %llu bytes from the upstream in %.1f s", p.id,
                      static_cast<unsigned long long>(received), seconds);
        log(line);
      } else {
        std::string cause = problem.empty() && rc != CURLE_OK ? std::string(t.error) : problem;
        if (stopping) cause = "the server is stopping";
        log("cache: update " + std::to_string(p.id) + " not kept: " + why +
            (cause.empty() || cause == why ? "" : " (" + cause + ")"));
      }
      return;
    }
    if (p.answered) return;
    if (!problem.empty()) {
      log("upstream: unusable reply to a request for update " + std::to_string(p.id) + ": " + problem);
      return p.Answer(Unreachable(p, problem));
    }
    if (phase == kText || (phase == kStart && rc == CURLE_OK && collected.size() < 14))
      return rc == CURLE_OK ? p.Answer(RelayText(p, status, std::move(collected))) : p.Answer(Unreachable(p, t.error));
    p.Answer(Unreachable(p, rc != CURLE_OK ? std::string(t.error) : "a file reply cut in its header"));
  }

  void Work() {
    CURL* curl = curl_easy_init();
    for (;;) {
      PendingPtr job;
      {
        std::unique_lock<std::mutex> lock(queueMutex);
        queueWake.wait(lock, [this] { return stopping || !queue.empty(); });
        if (stopping) break;
        job = std::move(queue.front());
        queue.pop_front();
      }
      try {
        if (curl == nullptr) {
          job->Answer(Unreachable(*job, "libcurl could not start"));
        } else if (job->file) {
          RunFile(curl, *job);
        } else {
          RunList(curl, *job);
        }
      } catch (const std::exception& e) {
        job->Answer(Unreachable(*job, e.what()));
      }
      job->Answer(Unreachable(*job, "no reply"));
    }
    if (curl) curl_easy_cleanup(curl);
  }

  // Requests that waited too long for a free connection to the upstream
  // are answered as if it could not be reached.
  void Sweep() {
    std::unique_lock<std::mutex> lock(queueMutex);
    while (!stopping) {
      sweepWake.wait_for(lock, std::chrono::milliseconds(500));
      const auto limit = Clock::now() - std::chrono::seconds(options.headSeconds);
      for (auto it = queue.begin(); it != queue.end();) {
        if ((*it)->queued < limit) {
          (*it)->Answer(Unreachable(**it, "no connection to the upstream free in time"));
          it = queue.erase(it);
        } else {
          ++it;
        }
      }
    }
  }
};

Mirror::Mirror(std::unique_ptr<Impl> impl) : m_impl(std::move(impl)) {}

Mirror::~Mirror() { Shutdown(); }

std::unique_ptr<Mirror> Mirror::Create(MirrorOptions options, Log log, std::string& error, bool& approvedError) {
  approvedError = false;
  auto impl = std::make_unique<Impl>();
  if (!options.approvedFile.empty()) {
    auto approved = ReadApprovedFile(options.approvedFile, error);
    if (!approved) {
      approvedError = true;
      return nullptr;
    }
    impl->approved = std::make_shared<const ApprovedSet>(std::move(*approved));
  }
  impl->cache = MirrorCache::Open(options.root, log, error);
  if (!impl->cache) return nullptr;
  if (options.upstreamConnections == 0) options.upstreamConnections = 1;
  impl->options = std::move(options);
  impl->log = std::move(log);
  curl_global_init(CURL_GLOBAL_DEFAULT);
  Impl* d = impl.get();
  for (size_t i = 0; i < d->options.upstreamConnections; ++i) d->workers.emplace_back([d] { d->Work(); });
  d->sweeper = std::thread([d] { d->Sweep(); });
  return std::unique_ptr<Mirror>(new Mirror(std::move(impl)));
}

void Mirror::PendingDeleter::operator()(Pending* p) const { delete p; }

Mirror::PendingPtr Mirror::Prepare(std::string_view query, std::string_view body, std::string_view userAgent,
                                   ServiceReply& now) {
  ServiceReply reply;
  std::string function;
  FieldMap fields;
  if (!ReadServiceRequest(query, body, reply, function, fields)) {
    now = std::move(reply);
    return nullptr;
  }
  PendingPtr p(new Pending);
  p->file = function == kFileFunction;
  if (p->file) {
    const std::string* tableId = fields.Find("TableID");
    if (tableId == nullptr) {
      now = std::move(reply);
      now.httpStatus = 400;
      now.body = "The request names no TableID.\n";
      now.result = "bad-request";
      return nullptr;
    }
    // An update that is no update anywhere, or that the site has not
    // approved, is refused here as the server refuses one it does not have.
    const auto id = ParseTableId(*tableId);
    const auto approved = m_impl->Approved();
    if (!id || (approved && !approved->count(*id))) {
      now = UnknownUpdateRefusal(std::move(reply), *tableId);
      if (id) now.result = "refused: not approved";
      return nullptr;
    }
    p->id = *id;
  }
  p->function = std::move(function);
  // A list request goes on as it came; a file request is written again.
  if (!p->file) p->body = std::string(body);
  p->fields = std::move(fields);
  p->userAgent = AgentOf(userAgent);
  p->base = std::move(reply);
  return p;
}

void Mirror::Relay(PendingPtr pending, std::function<void(ServiceReply)> done) {
  Impl& d = *m_impl;
  pending->done = std::move(done);
  pending->queued = Clock::now();
  {
    std::lock_guard<std::mutex> lock(d.queueMutex);
    if (!d.stopped && d.queue.size() < kMaxWaiting) {
      d.queue.push_back(std::move(pending));
      d.queueWake.notify_one();
      return;
    }
  }
  pending->Answer(Unreachable(*pending, d.stopping ? "the mirror is stopping" : "too many requests waiting"));
}

std::string Mirror::ReloadApproved() {
  Impl& d = *m_impl;
  if (d.options.approvedFile.empty()) return "approved updates: every update (no --approved)";
  std::string error;
  auto approved = ReadApprovedFile(d.options.approvedFile, error);
  if (!approved) return "approved updates not reloaded, keeping the previous list: " + error;
  const size_t n = approved->size();
  {
    std::lock_guard<std::mutex> lock(d.approvedMutex);
    d.approved = std::make_shared<const ApprovedSet>(std::move(*approved));
  }
  return "approved updates reloaded: " + std::to_string(n) + " from " + d.options.approvedFile;
}

std::string Mirror::Describe() const {
  const auto approved = m_impl->Approved();
  return "mirror of " + m_impl->options.upstream + ", " + std::to_string(m_impl->cache->CompleteCount()) +
         " archives in " + m_impl->options.root + "/cache, " +
         (approved ? std::to_string(approved->size()) + " updates approved in " + m_impl->options.approvedFile
                   : std::string("every update approved"));
}

void Mirror::Shutdown() {
  Impl& d = *m_impl;
  std::deque<PendingPtr> waiting;
  {
    std::lock_guard<std::mutex> lock(d.queueMutex);
    if (d.stopped) return;
    d.stopped = true;
    d.stopping = true;
    waiting.swap(d.queue);
  }
  d.queueWake.notify_all();
  d.sweepWake.notify_all();
  // Copies being filled fail and wake their readers; the transfers filling
  // them end at their next block or progress call.
  d.cache->Shutdown();
  for (auto& p : waiting) p->Answer(Unreachable(*p, "the mirror is stopping"));
  for (auto& w : d.workers) w.join();
  if (d.sweeper.joinable()) d.sweeper.join();
}

}  // namespace quon::server
